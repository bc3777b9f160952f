# The rigs one build makes chargers for. Only string work: it runs before
# project(), so that a wrong list is refused at once.
#
# CHARGER_RIGS: "NAME=PACK_ENDPOINT,SUPPLY_ENDPOINT;NAME=..." gives one
# charger per rig, charger-NAME, with its unit charger-NAME.service. Empty:
# the one charger "charger" with PACK_ENDPOINT and SUPPLY_ENDPOINT.
#
# Sets CHARGER_INSTANCES to the chargers' names and, for each name N,
# CHARGER_PACK_<N> and CHARGER_SUPPLY_<N>.

# The key under which two endpoints reach the same instrument: the lower-case
# host and the port as a number for "tcp:HOST:PORT", the normalised path of a
# serial line. An endpoint that the charger would misread, or that cannot go
# into a C string and a unit file as it is, leaves a message in <error>.
function(charger_endpoint_key endpoint out_key out_error)
  set(key "")
  set(error "")
  if(NOT endpoint MATCHES "^[A-Za-z0-9._:/-]+$")
    set(error "'${endpoint}' is not an endpoint: use tcp:HOST:PORT or the absolute path of a serial line (letters, digits and . _ : / - only)")
  elseif(endpoint MATCHES "^tcp")
    # The port layer takes any text that starts with "tcp" for a TCP endpoint.
    if(endpoint MATCHES "^tcp:([A-Za-z0-9][A-Za-z0-9.-]*):([0-9]+)$")
      set(host "${CMAKE_MATCH_1}")
      set(port "${CMAKE_MATCH_2}")
      string(REGEX MATCH "^0*([0-9]+)$" port "${port}")
      set(port "${CMAKE_MATCH_1}")
      string(LENGTH "${port}" digits)
      if(digits GREATER 5 OR port LESS 1 OR port GREATER 65535)
        set(error "'${endpoint}': the port must be from 1 to 65535")
      else()
        string(TOLOWER "${host}" host)
        set(key "tcp:${host}:${port}")
      endif()
    else()
      set(error "'${endpoint}' is not tcp:HOST:PORT")
    endif()
  elseif(endpoint MATCHES "^/")
    cmake_path(NORMAL_PATH endpoint OUTPUT_VARIABLE key)
  else()
    # A relative path would be taken from the service's working directory.
    set(error "'${endpoint}' is neither tcp:HOST:PORT nor an absolute path")
  endif()
  set(${out_key} "${key}" PARENT_SCOPE)
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

set(CHARGER_INSTANCES "")
set(keys_seen "")
set(owners_seen "")

# Records one charger with its two endpoints; refuses an endpoint that an
# earlier charger (or this one's other instrument) already names: two
# chargers on one instrument would fight over it.
macro(charger_add_instance name pack supply)
  set(endpoint_pack "${pack}")
  set(endpoint_supply "${supply}")
  foreach(role pack supply)
    charger_endpoint_key("${endpoint_${role}}" key error)
    if(error)
      message(FATAL_ERROR "${name}: ${role} endpoint ${error}")
    endif()
    list(FIND keys_seen "${key}" at)
    if(at GREATER -1)
      list(GET owners_seen ${at} owner)
      message(FATAL_ERROR "${owner} and ${name} ${role} both name the endpoint ${endpoint_${role}}: each instrument belongs to one rig")
    endif()
    list(APPEND keys_seen "${key}")
    list(APPEND owners_seen "${name} ${role}")
  endforeach()
  list(APPEND CHARGER_INSTANCES ${name})
  set(CHARGER_PACK_${name} "${pack}")
  set(CHARGER_SUPPLY_${name} "${supply}")
endmacro()

if(CHARGER_RIGS STREQUAL "")
  charger_add_instance(charger "${PACK_ENDPOINT}" "${SUPPLY_ENDPOINT}")
else()
  set(rig_names "")
  foreach(rig IN LISTS CHARGER_RIGS)
    string(STRIP "${rig}" rig)
    if(rig STREQUAL "")
      continue()
    endif()
    if(NOT rig MATCHES "^([^=]*)=([^,]*),([^,]*)$")
      message(FATAL_ERROR "CHARGER_RIGS: '${rig}' is not NAME=PACK_ENDPOINT,SUPPLY_ENDPOINT")
    endif()
    set(rig_name "${CMAKE_MATCH_1}")
    set(rig_pack "${CMAKE_MATCH_2}")
    set(rig_supply "${CMAKE_MATCH_3}")
    # The name goes into a file name, a unit name and a state directory.
    if(NOT rig_name MATCHES "^[A-Za-z0-9][A-Za-z0-9_-]*$")
      message(FATAL_ERROR "CHARGER_RIGS: rig name '${rig_name}' must be letters, digits, _ and -, starting with a letter or digit")
    endif()
    if(rig_name IN_LIST rig_names)
      message(FATAL_ERROR "CHARGER_RIGS: the rig name '${rig_name}' is given twice")
    endif()
    list(APPEND rig_names "${rig_name}")
    charger_add_instance(charger-${rig_name} "${rig_pack}" "${rig_supply}")
  endforeach()
  if(rig_names STREQUAL "")
    message(FATAL_ERROR "CHARGER_RIGS names no rig")
  endif()
endif()
unset(keys_seen)
unset(owners_seen)

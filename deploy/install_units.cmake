# Run by cmake --install: writes each unit with the absolute path of the
# installed binaries, from CMAKE_INSTALL_PREFIX as the install has it, and
# installs it. file(INSTALL) puts DESTDIR in front of the destination only,
# so a staged install's units name the final paths.
#
# In: UNIT_TEMPLATES (units configured but for @CHARGER_INSTALL_BINDIR@),
# UNIT_DIR and BIN_DIR (relative to the prefix, or absolute), WORK_DIR.
set(CHARGER_INSTALL_BINDIR "${BIN_DIR}")
if(NOT IS_ABSOLUTE "${CHARGER_INSTALL_BINDIR}")
  get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  set(CHARGER_INSTALL_BINDIR "${prefix}/${CHARGER_INSTALL_BINDIR}")
endif()
cmake_path(NORMAL_PATH CHARGER_INSTALL_BINDIR)
string(REGEX REPLACE "(.)/$" "\\1" CHARGER_INSTALL_BINDIR "${CHARGER_INSTALL_BINDIR}")
# systemd would split a command line at a blank and expand % and $.
if(NOT CHARGER_INSTALL_BINDIR MATCHES "^[A-Za-z0-9._/+@~-]+$")
  message(FATAL_ERROR "a unit cannot name binaries in '${CHARGER_INSTALL_BINDIR}': "
                      "install to a path of letters, digits and . _ / + @ ~ - only")
endif()

set(unit_dir "${UNIT_DIR}")
if(NOT IS_ABSOLUTE "${unit_dir}")
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/${unit_dir}")
endif()
foreach(template IN LISTS UNIT_TEMPLATES)
  get_filename_component(unit "${template}" NAME_WLE)
  configure_file("${template}" "${WORK_DIR}/${unit}" @ONLY)
  file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${WORK_DIR}/${unit}")
endforeach()

# Builds the chargers of two rigs from this source tree in a scratch
# directory, with the compilers and flags of the calling build, and installs
# them twice: into WORK_DIR/prefix, and staged (DESTDIR=WORK_DIR/stage) for
# STAGED_PREFIX. rigs_test checks what they installed and runs it.
#
# In: SOURCE_DIR, WORK_DIR, RIGS (rigs separated by "|"), STAGED_PREFIX,
# GENERATOR, BUILD_TYPE, C_COMPILER, CXX_COMPILER, C_FLAGS, CXX_FLAGS.
string(REPLACE "|" ";" rigs "${RIGS}")
file(REMOVE_RECURSE "${WORK_DIR}/prefix" "${WORK_DIR}/stage")

# The build directory is kept from run to run: a later run rebuilds only
# what changed.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
          "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
          "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
          "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCHARGER_TESTS=OFF "-DCHARGER_RIGS=${rigs}"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/build" --parallel 2
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${WORK_DIR}/build" --prefix "${WORK_DIR}/prefix"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${WORK_DIR}/stage"
                        "${CMAKE_COMMAND}" --install "${WORK_DIR}/build" --prefix "${STAGED_PREFIX}"
                COMMAND_ERROR_IS_FATAL ANY)

# Configures and builds the example project SOURCE in BINARY against the
# installed package in PREFIX, found through CMAKE_PREFIX_PATH alone, with
# the compiler COMPILER (and LAUNCHER in front of it when given), warnings
# as errors.
#   cmake -DSOURCE=... -DBINARY=... -DPREFIX=... -DCOMPILER=... [-DLAUNCHER=...] -P BuildExample.cmake
file(REMOVE_RECURSE "${BINARY}")
set(Options -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_CXX_COMPILER=${COMPILER} "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")
if(LAUNCHER)
  list(APPEND Options -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BINARY}" ${Options}
                RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "configuring the example failed: ${Result}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY}" RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "building the example failed: ${Result}")
endif()

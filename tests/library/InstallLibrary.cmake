# Installs the converter component's library from the build folder BUILD into
# the fresh prefix PREFIX (the folder WORK is emptied first): the runtime
# package's part and the development package's part, as `cmake --install`
# puts them.
#   cmake -DBUILD=... -DPREFIX=... -DWORK=... -P InstallLibrary.cmake
file(REMOVE_RECURSE "${WORK}")
foreach(Component libvexav libvexav-dev)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}" --component ${Component}
    RESULT_VARIABLE Result)
  if(NOT Result EQUAL 0)
    message(FATAL_ERROR "cmake --install --component ${Component} failed: ${Result}")
  endif()
endforeach()

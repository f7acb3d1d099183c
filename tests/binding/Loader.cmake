# Stand-in libraries for the loader tests, each in a folder of its own under
# the name the loader looks for:
#   missing-entry/libavcodec.so.59  exports every entry of the avcodec list
#                                   except one
#   broken/libavcodec.so.59         is not a shared object at all
set(VEXAV_OMITTED_ENTRY avcodec_flush_buffers)
add_library(standin_avcodec SHARED standin/StandInAvcodec.cpp)
target_include_directories(standin_avcodec PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(standin_avcodec PRIVATE ${VEXAV_OMITTED_ENTRY}=vexav_omitted_entry)
set_target_properties(standin_avcodec PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/standin/missing-entry
  PREFIX "lib" OUTPUT_NAME "avcodec" SUFFIX ".so.59")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/standin/broken)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/standin/broken/libavcodec.so.59 "not a library\n")

vexav_add_test(binding_loader_tests
  SOURCES LibraryLoaderTest.cpp ErrorTextTest.cpp
  LIBS vexav_binding)
add_dependencies(binding_loader_tests standin_avcodec)
target_compile_definitions(binding_loader_tests PRIVATE
  VEXAV_STANDIN_DIR="${CMAKE_CURRENT_BINARY_DIR}/standin"
  VEXAV_OMITTED_ENTRY="${VEXAV_OMITTED_ENTRY}"
  VEXAV_SYSTEM_LIB_DIR="${CMAKE_LIBRARY_ARCHITECTURE}")

# Every program and shared object of the project, read back from their
# dynamic sections: none may name a media library.
vexav_add_test(binding_nolink_tests
  SOURCES NoLinkTest.cpp
  LIBS vexav_binding)
target_compile_definitions(binding_nolink_tests PRIVATE
  VEXAV_BINARY_LIST="${PROJECT_BINARY_DIR}/project-binaries.txt")

# Test support that only the Windows tree builds.

# GoogleTest, compiled from Debian's sources: there is no mingw package of
# it. Its own build defines the GTest:: names that find_package gives on Linux.
set(QUIVERTAP_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUIVERTAP_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Not our code: it builds with its own warnings, not with -Werror.
foreach(target gtest gtest_main)
    target_compile_options(${target} PRIVATE -Wno-error)
endforeach()

# The notice stand-in for Wine (see notice_user32.cpp), beside the virtual
# controller so that the harness copies both next to the program.
add_library(notice_user32 SHARED
    ${CMAKE_CURRENT_LIST_DIR}/notice_user32.cpp ${CMAKE_CURRENT_LIST_DIR}/notice_user32.def)
set_target_properties(notice_user32 PROPERTIES
    OUTPUT_NAME user32 PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".stand-in.a"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/virtual_remote)

# Keys for a program's console under Wine (see console_input.cpp), beside the
# virtual controller, where the harness finds it.
add_executable(console_input ${CMAKE_CURRENT_LIST_DIR}/console_input.cpp)
set_target_properties(console_input PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/virtual_remote)

# The HID library's own transfer code over a named pipe instead of a HID
# device (see pipe_find.cpp), and the controller at the pipe's other end
# (pipe_remote.cpp), in a folder of their own: the harness copies the library
# beside the program for the test of a stack that holds every write.
set(PIPE_REMOTE_DIR ${CMAKE_BINARY_DIR}/pipe_remote)
add_library(pipe_hid SHARED
    ${CMAKE_SOURCE_DIR}/tiny_hid/hid_windows.cpp ${CMAKE_CURRENT_LIST_DIR}/pipe_find.cpp
    $<TARGET_OBJECTS:hid_shared>)
target_compile_definitions(pipe_hid PRIVATE TINY_HID_BUILDING)
set_target_properties(pipe_hid PROPERTIES
    OUTPUT_NAME tiny_hid_dll PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".pipe.a"
    RUNTIME_OUTPUT_DIRECTORY ${PIPE_REMOTE_DIR})
add_executable(pipe_remote ${CMAKE_CURRENT_LIST_DIR}/pipe_remote.cpp)
set_target_properties(pipe_remote PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PIPE_REMOTE_DIR})

# The real library under the probe's forced end (see reader_end_check.cpp):
# the kernel test under Wine runs it beside the program, from bin/.
add_executable(reader_end_check ${CMAKE_CURRENT_LIST_DIR}/reader_end_check.cpp)
target_link_libraries(reader_end_check PRIVATE tiny_hid_dll)

# GoogleTest for the native test builds. Debian's prebuilt library (package
# libgtest-dev) where it fits the build, so that each of the several native
# build trees does not compile GoogleTest again; built from its sources
# otherwise (-m32 builds, or without the package). Sanitized builds may link
# it uninstrumented: the checks are on our code, not on the test framework.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_package(GTest CONFIG QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

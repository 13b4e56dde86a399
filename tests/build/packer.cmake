# sparlin-pack as vendors get it: the host build and the Windows build of the
# same sources, checked with pefile (Debian's python3-pefile: the system's
# Python, whichever one CMake found) and run under Wine.
include(ExternalProject)
set(packer_exe ${CMAKE_BINARY_DIR}/packer-windows/sparlin-pack.exe)
ExternalProject_Add(packer_windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/packer
    BINARY_DIR ${CMAKE_BINARY_DIR}/packer-windows
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchains/x86_64-w64-mingw32.cmake
               -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${packer_exe}
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)
find_program(SPARLIN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
get_property(payload GLOBAL PROPERTY SPARLIN_PAYLOAD)
set(pack_args --pack ${SPARLIN_HOST_PACK} --stub $<TARGET_FILE:SparlinStub> ${payload})
set(packed ${CMAKE_BINARY_DIR}/packer-tests)
add_test(NAME build.packer
    COMMAND ${SPARLIN_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/packer.py linux ${pack_args}
            --sparlin $<TARGET_PROPERTY:Sparlin,SPARLIN_EXE> --work ${packed}/linux)
set_tests_properties(build.packer PROPERTIES FIXTURES_SETUP packed TIMEOUT 300)
add_test(NAME build.packer-windows
    COMMAND ${SPARLIN_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/packer.py windows ${pack_args}
            --pack-exe ${packer_exe} --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --work ${packed}/windows)
set_tests_properties(build.packer-windows PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 DISABLED ${no_wine64})
# The packed demo with the vendor's icon, signed after packing, runs as the
# launcher the build makes does, in both prefixes.
foreach(arch 64 32)
    add_test(NAME e2e.packed-signed-${arch}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/launch.py run-${arch}
                --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --launcher ${packed}/linux/Signed.exe
                ${payload})
    set_tests_properties(e2e.packed-signed-${arch} PROPERTIES FIXTURES_REQUIRED "wine;packed" TIMEOUT 120 RUN_SERIAL ON
                         DISABLED ${no_wine${arch}})
endforeach()
# The stub started as it is: a launcher whose payload is missing.
add_test(NAME e2e.stub-alone
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/stub_alone.py stub-alone
            --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --stub $<TARGET_FILE:SparlinStub>
            --box-helper $<TARGET_FILE:box_helper> --unit-tests $<TARGET_FILE:KovaTests>)
set_tests_properties(e2e.stub-alone PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120 RUN_SERIAL ON DISABLED ${no_wine64})

# sparlin-pack as vendors get it: the host build and the Windows build of the
# same sources, checked with pefile (Debian's python3-pefile: the system's
# Python, whichever one CMake found) and run under Wine. Where no 32-bit code
# runs, the 32-bit build keeps only what needs no Wine, and the 64-bit build
# runs the rest in its 64-bit prefix.
find_program(SPARLIN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(x86_build ON)
else()
    set(x86_build OFF)
endif()
if(NOT x86_build AND SPARLIN_X86_RUNS)
    return()  # the 32-bit build runs all of it
endif()

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
get_property(payload GLOBAL PROPERTY SPARLIN_PAYLOAD)
set(packed ${CMAKE_BINARY_DIR}/packer-tests)
# The stub started as it is: a launcher whose payload is missing.
add_test(NAME e2e.stub-alone
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/stub_alone.py stub-alone
            --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --stub $<TARGET_FILE:SparlinStub>
            --box-helper $<TARGET_FILE:box_helper> --unit-tests $<TARGET_FILE:KovaTests>)
set_tests_properties(e2e.stub-alone PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120 RUN_SERIAL ON DISABLED ${no_wine64})

if(x86_build)
    set(inputs --stub $<TARGET_FILE:SparlinStub> ${payload})
    set(pack_args --pack ${SPARLIN_HOST_PACK} ${inputs})
    # What the 64-bit build packs with the Windows packer where it runs that test.
    list(JOIN inputs "\n" input_lines)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packer-inputs.args CONTENT "${input_lines}\n")
    add_test(NAME build.packer
        COMMAND ${SPARLIN_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/packer.py linux ${pack_args}
                --sparlin $<TARGET_PROPERTY:Sparlin,SPARLIN_EXE> --work ${packed}/linux)
    set_tests_properties(build.packer PROPERTIES FIXTURES_SETUP packed TIMEOUT 300)
    # The packed demo with the vendor's icon, signed after packing, runs as the
    # launcher the build makes does, in both prefixes.
    set(signed ${packed}/linux/Signed.exe)
    set(signed_arches 64 32)
else()
    # The real 32-bit stub and payloads, from the 32-bit build (scripts/test.sh
    # builds it first): the Windows packer is the vendors' program, which
    # takes no x64 code for 32-bit entries.
    set(SPARLIN_X86_BUILD ${CMAKE_SOURCE_DIR}/build/windows-x86 CACHE PATH
        "The 32-bit build whose stub and payloads the Windows packer packs here")
    set(pack_args --pack ${SPARLIN_HOST_PACK} @${SPARLIN_X86_BUILD}/packer-inputs.args)
    # This build's x64 stub and demo, packed with the test-only packer as its
    # Sparlin.exe is, with the vendor's icon, then signed.
    add_test(NAME build.packer-signed-64
        COMMAND ${SPARLIN_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/packer.py sign-any-machine
                --pack ${SPARLIN_HOST_PACK_TESTING} --stub $<TARGET_FILE:SparlinStub> ${payload} --work ${packed}/x64)
    set_tests_properties(build.packer-signed-64 PROPERTIES FIXTURES_SETUP packed TIMEOUT 120)
    set(signed ${packed}/x64/Signed.exe)
    set(signed_arches 64)
endif()
add_test(NAME build.packer-windows
    COMMAND ${SPARLIN_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/packer.py windows ${pack_args}
            --pack-exe ${packer_exe} --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --work ${packed}/windows)
set_tests_properties(build.packer-windows PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 DISABLED ${no_wine64})
foreach(arch ${signed_arches})
    add_test(NAME e2e.packed-signed-${arch}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/launch.py run-${arch}
                --wine-run ${SPARLIN_WINE_RUN} --wine-dir ${SPARLIN_WINE_DIR} --launcher ${signed} ${payload})
    set_tests_properties(e2e.packed-signed-${arch} PROPERTIES FIXTURES_REQUIRED "wine;packed" TIMEOUT 120 RUN_SERIAL ON
                         DISABLED ${no_wine${arch}})
endforeach()

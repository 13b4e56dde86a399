# Builds launchers the way a vendor does: a stub (the launcher with the LZMA
# tool and everything else but the application), then the host build of
# sparlin-pack puts the four payload files into a copy of it.
include(ExternalProject)

# Where the launcher asks for updates and sends the user to download them.
# The defaults are reserved names that can never reach anybody.
set(SPARLIN_UPDATE_HOST "updates.sparlin.invalid" CACHE STRING "Host of the vendor's update server (port 80, /update.php)")
set(SPARLIN_DOWNLOAD_HOST "www.sparlin.invalid" CACHE STRING "Host of the vendor's download page (/download.php), optionally after https:// or http://")
# The packer applies the same rules, and the same limit of 255 characters.
string(LENGTH "${SPARLIN_UPDATE_HOST}" update_host_length)
string(LENGTH "${SPARLIN_DOWNLOAD_HOST}" download_host_length)
if(update_host_length GREATER 255 OR download_host_length GREATER 255)
    message(FATAL_ERROR "A host setting is longer than 255 characters")
endif()
if(NOT SPARLIN_UPDATE_HOST MATCHES "^[A-Za-z0-9.-]+$")
    message(FATAL_ERROR "Not a host name: '${SPARLIN_UPDATE_HOST}' (letters, digits, dots and dashes only)")
endif()
# The page may be served over https; without a scheme it is http.
if(NOT SPARLIN_DOWNLOAD_HOST MATCHES "^([Hh][Tt][Tt][Pp][Ss]?://)?[A-Za-z0-9.-]+(:[0-9]+)?$")
    message(FATAL_ERROR "Not a download host: '${SPARLIN_DOWNLOAD_HOST}' (a host name, optionally after https:// or http:// and with a :port)")
endif()

# The LZMA tool for this machine: only the launch benchmark asks for it.
set(SPARLIN_HOST_LZMA ${CMAKE_BINARY_DIR}/host-lzma/lzma)
ExternalProject_Add(host_lzma
    EXCLUDE_FROM_ALL ON
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/lzma
    BINARY_DIR ${CMAKE_BINARY_DIR}/host-lzma
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DLZMA_BUILD_TESTS=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target lzma_tool
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${SPARLIN_HOST_LZMA}
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)

# The packer, and the same program with options that only the project's
# own tests use (a wrong digest, a missing entry, another tool).
set(SPARLIN_HOST_PACK ${CMAKE_BINARY_DIR}/host-pack/sparlin-pack)
set(SPARLIN_HOST_PACK_TESTING ${CMAKE_BINARY_DIR}/host-pack/sparlin-pack-testing)
ExternalProject_Add(host_pack
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/packer
    BINARY_DIR ${CMAKE_BINARY_DIR}/host-pack
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF -DPACK_TESTING_TOOL=ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${SPARLIN_HOST_PACK} ${SPARLIN_HOST_PACK_TESTING}
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)

# sparlin_add_stub(<target> [OUTPUT_NAME <name>] [DEFINITIONS <def>...] [CORE <library>])
# The launcher without its application: the LZMA tool (signed when the build
# signs) and its digest, manifest, version, icon and string table with the
# default hosts. The stub itself stays unsigned: signing comes after packing.
function(sparlin_add_stub target)
    cmake_parse_arguments(S "" "OUTPUT_NAME;CORE" "DEFINITIONS" ${ARGN})
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
    set(tool ${generated}/LZMA.exe)
    sparlin_sign_commands(sign_tool ${tool})
    add_custom_command(OUTPUT ${tool}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:lzma_tool> ${tool}
        ${sign_tool}
        DEPENDS lzma_tool ${SPARLIN_SIGN_INPUTS}
        VERBATIM)
    set(digest ${generated}/LZMA.sha256)
    add_custom_command(OUTPUT ${digest}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${tool} -DOUTPUT=${digest} -P ${CMAKE_SOURCE_DIR}/cmake/WriteDigest.cmake
        DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/WriteDigest.cmake
        VERBATIM)
    file(GENERATE OUTPUT ${generated}/Payload.rc CONTENT
"LANGUAGE 0x09, 0x01

LZMA EXE \"${tool}\"
LZMA SHA256 \"${digest}\"

STRINGTABLE
BEGIN
    110 \"${SPARLIN_UPDATE_HOST}\"
    111 \"${SPARLIN_DOWNLOAD_HOST}\"
END
")
    file(GENERATE OUTPUT ${generated}/Launcher.rc CONTENT "#include \"Sparlin.rc\"\n")
    # windres does not report the files an .rc names, so say it here.
    set_source_files_properties(${generated}/Launcher.rc PROPERTIES OBJECT_DEPENDS
        "${tool};${digest};${CMAKE_SOURCE_DIR}/resources/Sparlin.manifest;${CMAKE_SOURCE_DIR}/resources/Sparlin.ico;${CMAKE_SOURCE_DIR}/resources/Strings.rc")
    add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/Launcher/Main.cpp ${CMAKE_SOURCE_DIR}/Launcher/SystemLibraries.cpp
                   ${generated}/Launcher.rc)
    if(NOT S_CORE)
        set(S_CORE sparlin_core)
    endif()
    target_link_libraries(${target} PRIVATE ${S_CORE})
    # Sections that start on page boundaries in the file can be mapped as
    # they are; Wine copies every section of an image that is laid out more
    # tightly, the megabytes of payload included, at each start.
    target_link_options(${target} PRIVATE -municode -Wl,--file-alignment,4096)
    target_include_directories(${target} PRIVATE ${generated} ${CMAKE_SOURCE_DIR}/resources)
    target_compile_definitions(${target} PRIVATE ${S_DEFINITIONS})
    if(S_OUTPUT_NAME)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${S_OUTPUT_NAME})
    endif()
    string(MD5 key "${S_CORE}|${S_DEFINITIONS}")
    set_property(GLOBAL PROPERTY SPARLIN_STUB_${key} ${target})
endfunction()

# sparlin_add_launcher(<target>
#     [OUTPUT_NAME <name>]
#     TOOL <file> GUI32 <file> HTMLAYOUT32 <file> GUI64 <file> HTMLAYOUT64 <file>
#     [UPDATE_HOST <host>] [DOWNLOAD_HOST [https://]<host>]   default: SPARLIN_UPDATE_HOST, SPARLIN_DOWNLOAD_HOST
#     [OMIT <entry>...]            entries left out of the resources, in lower case (gui32 ...)
#     [WRONG_DIGEST <entry>...]    record a wrong digest for these entries (lzma, gui32 ...)
#     [DEFINITIONS <def>...]       compile definitions of the entry point
#     [CORE <library>]             the launcher's logic (default: sparlin_core)
#     [DEPENDS <target>...])       targets that make the files above
# Makes <name>.exe (default: <target>.exe) in the current binary directory,
# packed from the stub of the same CORE and DEFINITIONS; the property
# SPARLIN_EXE of <target> names it.
function(sparlin_add_launcher target)
    cmake_parse_arguments(L "" "OUTPUT_NAME;TOOL;GUI32;HTMLAYOUT32;GUI64;HTMLAYOUT64;UPDATE_HOST;DOWNLOAD_HOST;CORE" "OMIT;DEFINITIONS;DEPENDS;WRONG_DIGEST"
                          ${ARGN})
    if(NOT L_CORE)
        set(L_CORE sparlin_core)
    endif()
    # Launchers that differ only in what the packer puts in share a stub.
    string(MD5 key "${L_CORE}|${L_DEFINITIONS}")
    get_property(stub GLOBAL PROPERTY SPARLIN_STUB_${key})
    if(NOT stub)
        string(SUBSTRING ${key} 0 8 short)
        set(stub sparlin_stub_${short})
        sparlin_add_stub(${stub} CORE ${L_CORE} DEFINITIONS ${L_DEFINITIONS})
    endif()

    set(pack ${SPARLIN_HOST_PACK})
    set(arguments --stub $<TARGET_FILE:${stub}>)
    # Anything but the real tool, a missing entry or a wrong digest is a test launcher.
    if(NOT L_TOOL STREQUAL "$<TARGET_FILE:lzma_tool>")
        set(pack ${SPARLIN_HOST_PACK_TESTING})
        list(APPEND arguments --tool ${L_TOOL})
    endif()
    foreach(entry ${L_WRONG_DIGEST})
        set(pack ${SPARLIN_HOST_PACK_TESTING})
        list(APPEND arguments --wrong-digest ${entry})
    endforeach()
    # The 64-bit build exists for tests only: its "32-bit" payload is x64 code.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(pack ${SPARLIN_HOST_PACK_TESTING})
        list(APPEND arguments --any-machine)
    endif()
    set(inputs)
    foreach(entry GUI32 HTMLAYOUT32 GUI64 HTMLAYOUT64)
        string(TOLOWER ${entry} lower)
        string(REPLACE "htmlayout" "layout" option ${lower})
        if(lower IN_LIST L_OMIT)
            set(pack ${SPARLIN_HOST_PACK_TESTING})
            list(APPEND arguments --omit ${lower})
        elseif(NOT L_${entry})
            message(FATAL_ERROR "sparlin_add_launcher(${target}): no file given for ${entry}")
        else()
            list(APPEND arguments --${option} ${L_${entry}})
            list(APPEND inputs ${L_${entry}})
        endif()
    endforeach()
    if(NOT L_UPDATE_HOST)
        set(L_UPDATE_HOST ${SPARLIN_UPDATE_HOST})
    endif()
    if(NOT L_DOWNLOAD_HOST)
        set(L_DOWNLOAD_HOST ${SPARLIN_DOWNLOAD_HOST})
    endif()
    if(NOT L_OUTPUT_NAME)
        set(L_OUTPUT_NAME ${target})
    endif()
    set(exe ${CMAKE_CURRENT_BINARY_DIR}/${L_OUTPUT_NAME}.exe)
    sparlin_sign_commands(sign ${exe})
    add_custom_command(OUTPUT ${exe}
        COMMAND ${pack} --quiet ${arguments} --update-host ${L_UPDATE_HOST} --download-host ${L_DOWNLOAD_HOST} -o ${exe}
        ${sign}
        DEPENDS ${stub} host_pack ${pack} ${inputs} ${L_TOOL} ${L_DEPENDS} ${SPARLIN_SIGN_INPUTS}
        COMMENT "Packing ${L_OUTPUT_NAME}.exe"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${exe})
    set_target_properties(${target} PROPERTIES SPARLIN_EXE ${exe})
endfunction()

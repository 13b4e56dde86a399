# Builds launcher executables around a payload: the LZMA tool and the four
# payload files, compressed at build time with the host build of our own
# tool (its "e" command with no switches) and embedded as resources.
include(ExternalProject)

# Where the launcher asks for updates and sends the user to download them.
# The defaults are reserved names that can never reach anybody.
set(SPARLIN_UPDATE_HOST "updates.sparlin.invalid" CACHE STRING "Host of the vendor's update server (port 80, /update.php)")
set(SPARLIN_DOWNLOAD_HOST "www.sparlin.invalid" CACHE STRING "Host of the vendor's download page (/download.php), optionally after https:// or http://")
if(NOT SPARLIN_UPDATE_HOST MATCHES "^[A-Za-z0-9.-]+$")
    message(FATAL_ERROR "Not a host name: '${SPARLIN_UPDATE_HOST}' (letters, digits, dots and dashes only)")
endif()
# The page may be served over https; without a scheme it is http.
if(NOT SPARLIN_DOWNLOAD_HOST MATCHES "^([Hh][Tt][Tt][Pp][Ss]?://)?[A-Za-z0-9.-]+(:[0-9]+)?$")
    message(FATAL_ERROR "Not a download host: '${SPARLIN_DOWNLOAD_HOST}' (a host name, optionally after https:// or http:// and with a :port)")
endif()

set(SPARLIN_HOST_LZMA ${CMAKE_BINARY_DIR}/host-lzma/lzma)
ExternalProject_Add(host_lzma
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/lzma
    BINARY_DIR ${CMAKE_BINARY_DIR}/host-lzma
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DLZMA_BUILD_TESTS=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target lzma_tool
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${SPARLIN_HOST_LZMA}
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)

# The SHA-256 of what the launcher will write out or unpack, so that it
# can tell whether the file it is about to run is the one it carries.
# Called from sparlin_add_launcher: reads its `generated`, L_WRONG_DIGEST and
# L_DEPENDS, and adds to its `compressed` and `payload_rc`.
function(sparlin_digest name input)
    string(TOLOWER ${name} lower)
    set(wrong OFF)
    if(lower IN_LIST L_WRONG_DIGEST)
        set(wrong ON)
    endif()
    set(digest ${generated}/${name}.sha256)
    add_custom_command(OUTPUT ${digest}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${digest} -DWRONG=${wrong}
                -P ${CMAKE_SOURCE_DIR}/cmake/WriteDigest.cmake
        DEPENDS ${input} ${CMAKE_SOURCE_DIR}/cmake/WriteDigest.cmake ${L_DEPENDS}
        VERBATIM)
    set(compressed ${compressed} ${digest} PARENT_SCOPE)
    set(payload_rc "${payload_rc}${name} SHA256 \"${digest}\"\n" PARENT_SCOPE)
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
function(sparlin_add_launcher target)
    cmake_parse_arguments(L "" "OUTPUT_NAME;TOOL;GUI32;HTMLAYOUT32;GUI64;HTMLAYOUT64;UPDATE_HOST;DOWNLOAD_HOST;CORE" "OMIT;DEFINITIONS;DEPENDS;WRONG_DIGEST"
                          ${ARGN})
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
    # A copy of the tool, so that the resource compile can depend on a plain file.
    set(tool ${generated}/LZMA.exe)
    sparlin_sign_commands(sign_tool ${tool})
    add_custom_command(OUTPUT ${tool}
        COMMAND ${CMAKE_COMMAND} -E copy ${L_TOOL} ${tool}
        ${sign_tool}
        DEPENDS ${L_TOOL} ${L_DEPENDS} ${SPARLIN_SIGN_INPUTS}
        VERBATIM)
    set(payload_rc "LANGUAGE 0x09, 0x01\n\nLZMA EXE \"${tool}\"\n")
    set(compressed ${tool})
    sparlin_digest(LZMA ${tool})
    foreach(entry GUI32 HTMLAYOUT32 GUI64 HTMLAYOUT64)
        string(TOLOWER ${entry} lower)
        if(lower IN_LIST L_OMIT)
            continue()
        endif()
        set(input ${L_${entry}})
        if(NOT input)
            message(FATAL_ERROR "sparlin_add_launcher(${target}): no file given for ${entry}")
        endif()
        string(REGEX MATCH "^(GUI|HTMLAYOUT)(32|64)$" _ ${entry})
        set(name ${CMAKE_MATCH_1})
        set(type BIN${CMAKE_MATCH_2})
        set(output ${generated}/${entry}.lzma)
        add_custom_command(OUTPUT ${output}
            COMMAND ${SPARLIN_HOST_LZMA} e ${input} ${output}
            DEPENDS ${input} host_lzma ${L_DEPENDS}
            COMMENT "Compressing ${entry} for ${target}"
            VERBATIM)
        list(APPEND compressed ${output})
        string(APPEND payload_rc "${name} ${type} \"${output}\"\n")
        sparlin_digest(${entry} ${input})
    endforeach()
    if(NOT L_UPDATE_HOST)
        set(L_UPDATE_HOST ${SPARLIN_UPDATE_HOST})
    endif()
    if(NOT L_DOWNLOAD_HOST)
        set(L_DOWNLOAD_HOST ${SPARLIN_DOWNLOAD_HOST})
    endif()
    string(APPEND payload_rc "\nSTRINGTABLE\nBEGIN\n    110 \"${L_UPDATE_HOST}\"\n    111 \"${L_DOWNLOAD_HOST}\"\nEND\n")
    file(GENERATE OUTPUT ${generated}/Payload.rc CONTENT "${payload_rc}")
    file(GENERATE OUTPUT ${generated}/Launcher.rc CONTENT "#include \"Sparlin.rc\"\n")
    # windres does not report the files an .rc names, so say it here.
    set_source_files_properties(${generated}/Launcher.rc PROPERTIES OBJECT_DEPENDS
        "${compressed};${CMAKE_SOURCE_DIR}/resources/Sparlin.manifest;${CMAKE_SOURCE_DIR}/resources/Sparlin.ico;${CMAKE_SOURCE_DIR}/resources/Strings.rc")

    add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/Launcher/Main.cpp ${CMAKE_SOURCE_DIR}/Launcher/SystemLibraries.cpp
                   ${generated}/Launcher.rc)
    if(NOT L_CORE)
        set(L_CORE sparlin_core)
    endif()
    target_link_libraries(${target} PRIVATE ${L_CORE})
    # Sections that start on page boundaries in the file can be mapped as
    # they are; Wine copies every section of an image that is laid out more
    # tightly, the megabytes of payload included, at each start.
    target_link_options(${target} PRIVATE -municode -Wl,--file-alignment,4096)
    target_include_directories(${target} PRIVATE ${generated} ${CMAKE_SOURCE_DIR}/resources)
    target_compile_definitions(${target} PRIVATE ${L_DEFINITIONS})
    add_dependencies(${target} host_lzma ${L_DEPENDS})
    if(L_OUTPUT_NAME)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})
    endif()
    sparlin_sign_target(${target})
endfunction()

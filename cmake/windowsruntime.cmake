# The DLLs a Windows installation needs beside its programs, found from the programs' imports
# (and their imports in turn) when installing, so that a library added to the build reaches the
# packages without a list to keep.
#
#   lcs_install_runtime_libraries(target...)
#
# They are looked for where the build found its libraries: <prefix>/bin and <prefix>/lib of each
# CMAKE_PREFIX_PATH and CMAKE_FIND_ROOT_PATH entry (the cross Qt, the mingw sysroot with zlib and
# winpthread, a library added to the prefixes), and the compiler's own runtime (libstdc++,
# libgcc). What is found nowhere there is left to Windows: its own DLLs (KERNEL32, msvcrt, WS2_32
# and so on); the installation prints them.

function(lcs_install_runtime_libraries)
    set(directories)
    foreach(prefix ${CMAKE_PREFIX_PATH} ${CMAKE_FIND_ROOT_PATH})
        list(APPEND directories "${prefix}/bin" "${prefix}/lib")
    endforeach()
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
            OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
        get_filename_component(runtime "${runtime}" DIRECTORY)
        list(APPEND directories "${runtime}")
    endif()

    # Each path quoted in the code below: it may hold blanks.
    set(searched)
    foreach(directory ${directories})
        string(APPEND searched " \"${directory}\"")
    endforeach()
    set(programs)
    foreach(target ${ARGN})
        string(APPEND programs " \"$<TARGET_FILE:${target}>\"")
    endforeach()

    # When cross-compiling, the host is no guide to the format and its reader.
    set(tool)
    if(CMAKE_CROSSCOMPILING)
        set(tool "set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
            set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
            set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_OBJDUMP}\")")
    endif()
    # CMake compares DLL names in lower case, which misses Qt5Core.dll on a file system that
    # tells cases apart: each round looks such names up without regard to case and reads the
    # libraries found that way in the next one.
    install(CODE "
        ${tool}
        set(libraries)
        set(system)
        set(executables ${programs})
        set(found)
        while(executables OR found)
            file(GET_RUNTIME_DEPENDENCIES
                EXECUTABLES \${executables}
                LIBRARIES \${found}
                RESOLVED_DEPENDENCIES_VAR resolved
                UNRESOLVED_DEPENDENCIES_VAR unresolved
                DIRECTORIES ${searched}
                PRE_EXCLUDE_REGEXES \"^api-ms-\" \"^ext-ms-\"
                POST_EXCLUDE_REGEXES \"/[Ss]ystem32/\")
            list(APPEND libraries \${found} \${resolved})
            set(executables)
            set(found)
            foreach(name \${unresolved})
                set(match)
                foreach(directory ${searched})
                    file(GLOB candidates \"\${directory}/*.[Dd][Ll][Ll]\")
                    foreach(candidate \${candidates})
                        get_filename_component(candidateName \"\${candidate}\" NAME)
                        string(TOLOWER \"\${candidateName}\" candidateName)
                        if(NOT match AND candidateName STREQUAL name)
                            set(match \"\${candidate}\")
                        endif()
                    endforeach()
                endforeach()
                # (list(FIND): install scripts run without the policies of the project.)
                list(FIND libraries \"\${match}\" known)
                if(NOT match)
                    list(APPEND system \${name})
                elseif(known EQUAL -1)
                    list(APPEND found \"\${match}\")
                endif()
            endforeach()
        endwhile()
        list(REMOVE_DUPLICATES libraries)
        list(REMOVE_DUPLICATES system)
        list(SORT system)
        message(STATUS \"Left to Windows: \${system}\")
        file(INSTALL \${libraries} DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
        # Stripped like the programs when asked to (the compiler's runtime carries its symbols).
        if(CMAKE_INSTALL_DO_STRIP AND EXISTS \"${CMAKE_STRIP}\")
            foreach(library \${libraries})
                get_filename_component(name \"\${library}\" NAME)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${name}\")
            endforeach()
        endif()
    ")
endfunction()

# cmake -DOBJDUMP=<i686-w64-mingw32-objdump> -DDLL=<morx32.dll> -P check-dll-tables.cmake
#
# Fails unless the DLL is a 32-bit PE file that exports exactly the five plain names and imports
# nothing but system DLLs (no mingw runtime DLL to ship beside it).
cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump could not read ${DLL}")
endif()

if(NOT dump MATCHES "file format pei-i386")
    message(FATAL_ERROR "${DLL} is not a 32-bit PE file")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[^\n]+\n)+)" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${CMAKE_MATCH_1}")
set(names "")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "\\[ *[0-9]+\\] " "" name "${entry}")
    list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "FINISHB;GETWINDIR;LABELB;SHOWDLGB;SHOWMSGB")
    message(FATAL_ERROR "exports are '${names}', expected the five plain names")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed kernel32.dll user32.dll gdi32.dll msvcrt.dll)
foreach(line IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST allowed)
        message(FATAL_ERROR "morx32.dll imports ${dll}, which is not a system DLL")
    endif()
endforeach()
message(STATUS "morx32.dll: 32-bit, exports ${names}, imports ${imports}")

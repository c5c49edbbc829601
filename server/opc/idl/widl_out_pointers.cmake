# Corrects the interpreted proxy/stub code of widl (7.0 and 8.0, -Oif and -Oi) for top-level
# [out] pointers to string pointers: `[out] LPWSTR*` (GetErrorString, GetItemID, GetState's
# name) and `[out, string, size_is(,n)] LPWSTR**` (LookupItemIDs). widl describes such a
# parameter by the type under its top-level reference pointer instead of by the reference pointer
# itself, so the stub marshals the address of its own stack slot as the string, and the client
# gets NULL, garbage or ERROR_NOACCESS. Any correct compiler points the parameter at its
# "FC_RP [allocated_on_stack] [pointer_deref]" entry, as widl already does for every other
# pointer to a pointer; this script makes the offsets say so and leaves everything else as is.
#
#   cmake -DPROXY_FILE=<name>_p.c -P widl_out_pointers.cmake

cmake_minimum_required(VERSION 3.25)

if(NOT PROXY_FILE)
    message(FATAL_ERROR "widl_out_pointers: PROXY_FILE not given")
endif()
file(READ ${PROXY_FILE} source)

string(FIND "${source}" "__MIDL_TypeFormatString =" types_start)
if(types_start EQUAL -1)
    message(FATAL_ERROR "widl_out_pointers: no type format string in ${PROXY_FILE}")
endif()
string(SUBSTRING "${source}" ${types_start} -1 types)

# Reference pointers that dereference (offset -> target) and plain object pointers that lead on.
set(label "/\\* +([0-9]+)[^\n]*\\*/\n")
string(REGEX MATCHALL "${label}[ \t]*0x11, 0x14,[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[^\n]*\\(([0-9]+)\\) \\*/"
       deref_pointers "${types}")
string(REGEX MATCHALL "${label}[ \t]*0x1[23], 0x0,[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\)"
       object_pointers "${types}")
string(REGEX MATCHALL "${label}[ \t]*0x11," reference_pointers "${types}")

set(references "")
foreach(entry IN LISTS reference_pointers)
    string(REGEX MATCH "^/\\* +([0-9]+)" _ "${entry}")
    list(APPEND references ${CMAKE_MATCH_1})
endforeach()
foreach(entry IN LISTS deref_pointers)
    string(REGEX MATCH "^/\\* +([0-9]+)[^\n]*\n[^\n]*\n[^\n]*\\(([0-9]+)\\) \\*/$" _ "${entry}")
    set(deref_${CMAKE_MATCH_2} ${CMAKE_MATCH_1})
    set(target_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
foreach(entry IN LISTS object_pointers)
    string(REGEX MATCH "^/\\* +([0-9]+)[^\n]*\n[^\n]*\n[ \t]*NdrFcShort\\((0x[0-9a-f]+)\\)$" _
           "${entry}")
    set(at ${CMAKE_MATCH_1})
    math(EXPR offset "${CMAKE_MATCH_2}")
    if(offset GREATER 32767)
        math(EXPR offset "${offset} - 65536")
    endif()
    math(EXPR target "${at} + 2 + ${offset}")
    set(object_${at} ${target})
endforeach()

# The reference pointer whose chain (through at most one object pointer) ends at `type`.
function(owning_reference type result)
    set(${result} "" PARENT_SCOPE)
    if(DEFINED deref_${type})
        set(${result} ${deref_${type}} PARENT_SCOPE)
        return()
    endif()
    foreach(entry IN LISTS deref_pointers)
        string(REGEX MATCH "^/\\* +([0-9]+)" _ "${entry}")
        set(reference ${CMAKE_MATCH_1})
        set(next ${target_of_${reference}})
        if(DEFINED object_${next} AND object_${next} EQUAL type)
            set(${result} ${reference} PARENT_SCOPE)
            return()
        endif()
    endforeach()
endfunction()

# Every [out] parameter the server allocates on its stack, other than a base type.
set(parameter_pattern
    "/\\* [0-9]+ \\(parameter [A-Za-z0-9_]+\\) \\*/\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* flags: [^\n]*out, srv size=[0-9]+ \\*/\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* type offset = [0-9]+ \\*/")
string(SUBSTRING "${source}" 0 ${types_start} procedures)
set(fixed "")
while(TRUE)
    string(REGEX MATCH "${parameter_pattern}" parameter "${procedures}")
    if(parameter STREQUAL "")
        break()
    endif()
    string(FIND "${procedures}" "${parameter}" at)
    string(LENGTH "${parameter}" length)
    string(SUBSTRING "${procedures}" 0 ${at} before)
    math(EXPR after_at "${at} + ${length}")
    string(SUBSTRING "${procedures}" ${after_at} -1 procedures)
    string(REGEX MATCH "type offset = ([0-9]+) \\*/$" _ "${parameter}")
    set(type ${CMAKE_MATCH_1})
    list(FIND references ${type} is_reference)
    if(is_reference EQUAL -1)
        owning_reference(${type} reference)
        if(reference STREQUAL "")
            message(FATAL_ERROR "widl_out_pointers: ${PROXY_FILE}: no reference pointer leads to "
                                "type ${type}:\n${parameter}")
        endif()
        math(EXPR hex "${reference}" OUTPUT_FORMAT HEXADECIMAL)
        string(REGEX REPLACE "NdrFcShort\\(0x[0-9a-f]+\\),([ \t]*)/\\* type offset = [0-9]+ \\*/$"
                             "NdrFcShort(${hex}),\\1/* type offset = ${reference} */" parameter
                             "${parameter}")
    endif()
    string(APPEND fixed "${before}${parameter}")
endwhile()
string(APPEND fixed "${procedures}${types}")
file(WRITE ${PROXY_FILE} "${fixed}")

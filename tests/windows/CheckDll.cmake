# Checks volkit.dll's tables: it exports exactly the functions that the
# public headers of the handle family (namespace volkit::api, under g++'s C++
# names) and of the C interface (volkit.h, extern "C", unmangled) declare with
# VOLKIT_EXPORT, and imports only from DLLs that Windows ships.
#   cmake -DDLL=volkit.dll -DHEADERS=include/volkit -DOBJDUMP=x86_64-w64-mingw32-objdump -P CheckDll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

file(GLOB headers ${HEADERS}/*.h)
set(declarations)
foreach(header ${headers})
  file(STRINGS ${header} family REGEX "^namespace volkit::api {|^extern \"C\" {")
  if(family)
    file(STRINGS ${header} lines REGEX "^VOLKIT_EXPORT ")
    list(APPEND declarations ${lines})
  endif()
endforeach()
set(declared)
foreach(line ${declarations})
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\(" ignored "${line}")
  list(APPEND declared ${CMAKE_MATCH_1})
endforeach()

# Export names, one per "[ n] name" line; "[ n] +base[ m] ..." lines are ordinals.
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^ \n]+\n" rows "${dump}")
set(exported)
foreach(row ${rows})
  string(REGEX REPLACE "^\t\\[ *[0-9]+\\] ([^ \n]+)\n$" "\\1" symbol "${row}")
  # _ZN6volkit3api<length><name>...: a function of volkit::api; a C function
  # keeps its own name (no decoration: __cdecl on x64).
  if(symbol MATCHES "^_ZN6volkit3api([0-9]+)")
    string(LENGTH "_ZN6volkit3api${CMAKE_MATCH_1}" start)
    string(SUBSTRING "${symbol}" ${start} ${CMAKE_MATCH_1} symbol)
  endif()
  list(APPEND exported ${symbol})
endforeach()

list(SORT declared)
list(SORT exported)
if(NOT declared STREQUAL exported OR NOT declared)
  message(FATAL_ERROR "exports differ from the headers\n  declared: ${declared}\n  exported: ${exported}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exports, as declared")

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import ${imports})
  string(TOLOWER "${import}" import)
  if(NOT import MATCHES "^dll name: (kernel32|msvcrt)\\.dll$")
    message(FATAL_ERROR "volkit.dll needs a DLL that Windows does not ship: ${import}")
  endif()
endforeach()

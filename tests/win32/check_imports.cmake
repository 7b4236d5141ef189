# cmake -DEXE=<ecubridge.exe> -DOBJDUMP=<objdump> -DALLOWED=<windows7_imports.txt> -P check_imports.cmake
# Reads the import tables of the server and fails on any function, or any DLL, that is not in
# the committed list of what the oldest supported Windows provides: a call newer than that
# would keep the server from starting there at all ("entry point not found").
cmake_minimum_required(VERSION 3.21)
file(STRINGS ${ALLOWED} allowed REGEX "^[A-Z0-9_]+\\.DLL ")
list(LENGTH allowed allowed_count)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${EXE}")
endif()
# "\tDLL Name: KERNEL32.dll", then one "\t<vma>\t <hint>  <name>" line per function by name;
# a function imported by ordinal has no name and shows as "<ordinal>" alone.
string(REPLACE "\n" ";" lines "${dump}")
set(dll "")
set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)")
    list(APPEND imports "${dll} ${CMAKE_MATCH_1}")
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +<?[0-9]+>? *$")
    list(APPEND imports "${dll} (ordinal ${line})")
  elseif(line STREQUAL "")
    set(dll "")
  endif()
endforeach()
list(LENGTH imports import_count)
if(import_count LESS 10)
  message(FATAL_ERROR "${EXE}: no import table found in the output of ${OBJDUMP} -p")
endif()
set(outside "")
foreach(import IN LISTS imports)
  if(NOT import IN_LIST allowed)
    list(APPEND outside "${import}")
  endif()
endforeach()
if(outside)
  list(JOIN outside "\n  " text)
  message(FATAL_ERROR "${EXE} imports what Windows 7 may not provide (not in ${ALLOWED}):\n"
                      "  ${text}")
endif()
message(STATUS "${EXE}: ${import_count} imported functions, all within the ${allowed_count} "
               "of the Windows 7 list")

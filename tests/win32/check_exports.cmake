# cmake -DDLL=<KVELD2XX.DLL> -DOBJDUMP=<objdump> -P check_exports.cmake
# Reads the export table of the D2XX stand-in and fails unless it exports exactly the driver's
# functions under their plain names (FT_Open, never FT_Open@8 or _FT_Open@8), plus the one
# export the tests inspect it through. On the 32-bit build it also reads the symbol table: each
# driver function must be stdcall with the documented argument bytes (_FT_Open@8), as the
# server calls it.
set(expected D2xxDouble_State FT_Close FT_EE_Program FT_EE_Read FT_GetLatencyTimer
             FT_GetQueueStatus FT_ListDevices FT_Open FT_Purge FT_Read FT_SetBaudRate FT_SetChars
             FT_SetDataCharacteristics FT_SetFlowControl FT_SetLatencyTimer FT_SetTimeouts FT_Write)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${DLL}")
endif()
# The name table: lines "[ordinal] name" after "[Ordinal/Name Pointer] Table".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" table)
if(table EQUAL -1)
  message(FATAL_ERROR "${DLL} has no export name table")
endif()
string(SUBSTRING "${dump}" ${table} -1 dump)
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" rows "${dump}")
set(names "")
foreach(row ${rows})
  string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "${DLL} exports:\n  ${names}\nexpected:\n  ${expected}")
endif()
message(STATUS "${DLL}: ${names}")

execute_process(COMMAND ${OBJDUMP} -f ${DLL} OUTPUT_VARIABLE header)
if(header MATCHES "pei-i386")
  set(stdcall FT_Close@4 FT_EE_Program@8 FT_EE_Read@8 FT_GetLatencyTimer@8 FT_GetQueueStatus@8
              FT_ListDevices@12 FT_Open@8 FT_Purge@8 FT_Read@16 FT_SetBaudRate@8 FT_SetChars@20
              FT_SetDataCharacteristics@16 FT_SetFlowControl@16 FT_SetLatencyTimer@8
              FT_SetTimeouts@12 FT_Write@16)
  execute_process(COMMAND ${OBJDUMP} -t ${DLL} OUTPUT_VARIABLE symbols)
  foreach(symbol ${stdcall})
    string(FIND "${symbols}" " _${symbol}\n" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${DLL}: no stdcall function _${symbol}")
    endif()
  endforeach()
  message(STATUS "${DLL}: every driver function is stdcall")
endif()

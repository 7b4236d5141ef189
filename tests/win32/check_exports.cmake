# cmake -DDLL=<KVELD2XX.DLL> -DOBJDUMP=<objdump> -P check_exports.cmake
# Reads the export table of the D2XX stand-in and fails unless it exports exactly the driver's
# functions under their plain names (FT_Open, never FT_Open@8 or _FT_Open@8), plus the one
# export the tests inspect it through.
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

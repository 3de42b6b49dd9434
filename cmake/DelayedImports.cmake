# Makes an import library whose every import is loaded late, on its first call, from another
# import library of the same DLL:
#   cmake -DNM=... -DDLLTOOL=... -DIMPORTS=libx.a -DDLL=x.dll -DOUTPUT=libx_delayed.a -P this
execute_process(COMMAND ${NM} -g ${IMPORTS} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
# Each import's pointer "__imp__Name@N" names the export, decorated as the callers link it.
string(REGEX MATCHALL "I __imp__[^\n]+" imports "${symbols}")
set(definition "LIBRARY ${DLL}\nEXPORTS\n")
foreach(import ${imports})
  string(REGEX REPLACE "^I __imp__" "" name "${import}")
  string(APPEND definition "${name}\n")
endforeach()
if(NOT imports)
  message(FATAL_ERROR "no imports in ${IMPORTS}")
endif()
file(WRITE ${OUTPUT}.def "${definition}")
# --kill-at: the DLL exports the names without their "@N".
execute_process(COMMAND ${DLLTOOL} --input-def ${OUTPUT}.def --output-delaylib ${OUTPUT}
                        --kill-at COMMAND_ERROR_IS_FATAL ANY)

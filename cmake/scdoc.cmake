# Turns the scdoc page INPUT into the roff page OUTPUT with SCDOC, which
# reads only its standard input and writes only its standard output.
#   cmake -DSCDOC=... -DINPUT=... -DOUTPUT=... -P scdoc.cmake
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}.tmp
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${INPUT} (${status}): ${errors}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})

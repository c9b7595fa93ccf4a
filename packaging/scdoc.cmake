# Turns one scdoc page into roff, dated the release rather than today:
#   cmake -DSCDOC=scdoc -DSOURCE=page.1.scd -DOUTPUT=page.1 -DEPOCH=seconds -P scdoc.cmake
set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${OUTPUT}.tmp
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${errors}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})

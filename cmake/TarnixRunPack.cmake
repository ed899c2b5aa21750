# Runs Tarnix for tarnix_add_pack with its output in a log beside the pack, shown on failure.
string(REPLACE "," ";" options "${OPTIONS}")
execute_process(COMMAND "${TOOL}" "${DIRECTORY}" "${OUTPUT}" ${options}
  OUTPUT_FILE "${OUTPUT}.log" ERROR_FILE "${OUTPUT}.log" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(READ "${OUTPUT}.log" log)
  message(FATAL_ERROR "Tarnix could not pack ${DIRECTORY} into ${OUTPUT}:\n${log}")
endif()

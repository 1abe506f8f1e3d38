# ctest reads this with the tests, after the build's facts: a test for each case that the built
# driver names, whose command is command_CASE where the build gives one, or runs the program.
execute_process(COMMAND ${driver} --list OUTPUT_VARIABLE cases COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" cases "${cases}")
foreach(case IN LISTS cases)
  if(NOT command_${case})
    set(command_${case} ${driver} ${case} ${program})
  endif()
  add_test(${case} ${command_${case}})
  set_tests_properties(${case} PROPERTIES SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION "^skipped: ")
endforeach()
set_tests_properties(workload PROPERTIES RUN_SERIAL TRUE) # tests beside it would skew its CPU times

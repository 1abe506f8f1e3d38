# ctest reads this as it reads the tests, after the facts of the build in the configuration that it
# tests: a test for each case of the driver's table, as the built driver names them. A case runs
# the program under test, unless the build gives it arguments of its own (args_CASE) or says why it
# cannot run here (why_CASE for one case, why for those without arguments of their own).
cmake_policy(VERSION 3.25)
execute_process(COMMAND ${driver} --list OUTPUT_VARIABLE cases RESULT_VARIABLE listed)
if(NOT listed EQUAL 0)
  add_test(cases ${driver} --list) # fails, and says why
endif()
string(REGEX MATCHALL "[^\n]+" cases "${cases}")
foreach(case IN LISTS cases)
  if(why_${case})
    add_test(${case} ${CMAKE_COMMAND} -E echo "skipped: ${why_${case}}")
  elseif(args_${case})
    add_test(${case} ${driver} ${case} ${args_${case}})
  elseif(why)
    add_test(${case} ${CMAKE_COMMAND} -E echo "skipped: ${why}")
  else()
    add_test(${case} ${driver} ${case} ${program})
  endif()
  set_tests_properties(${case} PROPERTIES SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION "^skipped: ")
endforeach()
if(workload IN_LIST cases)
  set_tests_properties(workload PROPERTIES RUN_SERIAL TRUE) # tests beside it would skew its CPU times
endif()

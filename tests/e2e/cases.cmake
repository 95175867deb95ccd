# add_unittest_cases(PREFIX p DIRECTORY dir PYTHON python [TIMEOUT s]
#                    [ENVIRONMENT NAME=value...] [RESOURCE_LOCK names...])
# One CTest test per test case of the Python modules dir/test_*.py, named
# <p>.<module>.<class>.<method>, so that `ctest -j` runs them side by side.
# The cases are listed at configure time; editing a module lists them again.
function(add_unittest_cases)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PREFIX;DIRECTORY;PYTHON;TIMEOUT"
    "ENVIRONMENT;RESOURCE_LOCK")
  file(GLOB scripts CONFIGURE_DEPENDS ${arg_DIRECTORY}/test_*.py)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${scripts})
  set(modules)
  foreach(script ${scripts})
    get_filename_component(module ${script} NAME_WE)
    list(APPEND modules ${module})
  endforeach()
  if(NOT modules)
    return()
  endif()
  execute_process(
    COMMAND ${arg_PYTHON} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/list_cases.py ${modules}
    WORKING_DIRECTORY ${arg_DIRECTORY}
    OUTPUT_VARIABLE cases ERROR_VARIABLE errors RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Cannot list the test cases in ${arg_DIRECTORY}:\n${errors}")
  endif()
  string(STRIP "${cases}" cases)
  string(REPLACE "\n" ";" cases "${cases}")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  foreach(case ${cases})
    add_test(NAME ${arg_PREFIX}.${case}
      COMMAND ${arg_PYTHON} -m unittest -v ${case}
      WORKING_DIRECTORY ${arg_DIRECTORY})
    set_tests_properties(${arg_PREFIX}.${case} PROPERTIES
      ENVIRONMENT "${arg_ENVIRONMENT}" TIMEOUT ${arg_TIMEOUT})
    if(arg_RESOURCE_LOCK)
      set_tests_properties(${arg_PREFIX}.${case} PROPERTIES RESOURCE_LOCK "${arg_RESOURCE_LOCK}")
    endif()
  endforeach()
endfunction()

# Checks the size of the shipped installer (ctest's size_budget):
#   cmake -DFILE=<QuelloxSetup.exe> -DBUDGET=<bytes, or 0 to only report> -P size_budget.cmake
# Sizes are deterministic: a file over its budget fails every time, and
# bench/size-report shows where its bytes go.
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
if(BUDGET AND size GREATER BUDGET)
  math(EXPR over "${size} - ${BUDGET}")
  message(FATAL_ERROR "${name} is ${size} bytes, over its budget of ${BUDGET} bytes by ${over} "
                      "(bench/size-report shows where the bytes go)")
elseif(BUDGET)
  message(STATUS "${name} is ${size} bytes, within its budget of ${BUDGET} bytes")
else()
  message(STATUS "${name} is ${size} bytes (no budget for this build)")
endif()

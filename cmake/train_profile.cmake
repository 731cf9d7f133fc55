# Runs the profiling build of the parser core over the training patterns and hands the counts
# to the optimised build, where the compiler looks for them: beside the object of the same
# source. Usage:
#   cmake -DTRAINER=... -DCORPUS=... -DFROM=<profiling objects> -DTO=<optimised objects>
#         -DSTAMP=... -P train_profile.cmake
file(GLOB_RECURSE stale "${FROM}/*.gcda")
if(stale)
  file(REMOVE ${stale})  # counts of an earlier run would add up with the new ones
endif()
execute_process(COMMAND "${TRAINER}" train "${CORPUS}" 3 OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the profiling run over ${CORPUS} failed: ${status}")
endif()
file(GLOB_RECURSE profiles RELATIVE "${FROM}" "${FROM}/*.gcda")
foreach(profile ${profiles})
  file(COPY_FILE "${FROM}/${profile}" "${TO}/${profile}")
endforeach()
file(TOUCH "${STAMP}")

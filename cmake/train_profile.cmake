# Runs the profiling build of the parser core over the training patterns and hands the counts
# to the optimised build, where the compiler looks for them: beside the object of the same
# source. Usage:
#   cmake -DTRAINER=... -DCORPUS=... -DFROM=<profiling objects> -DTO=<optimised objects>
#         -DSTAMP=... -P train_profile.cmake
# Counts of an earlier run would add up with the new ones, and one left beside an object the
# trainer no longer uses would be read for a source it no longer fits: both go first.
foreach(folder "${FROM}" "${TO}")
  file(GLOB_RECURSE stale "${folder}/*.gcda")
  if(stale)
    file(REMOVE ${stale})
  endif()
endforeach()
execute_process(COMMAND "${TRAINER}" train "${CORPUS}" 3 OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the profiling run over ${CORPUS} failed: ${status}")
endif()
file(GLOB_RECURSE profiles RELATIVE "${FROM}" "${FROM}/*.gcda")
if(NOT profiles)
  message(FATAL_ERROR "the profiling run over ${CORPUS} wrote no counts under ${FROM}")
endif()
foreach(profile ${profiles})
  file(COPY_FILE "${FROM}/${profile}" "${TO}/${profile}")
endforeach()
file(TOUCH "${STAMP}")

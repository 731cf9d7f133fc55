# Profile-guided optimisation of the parser core. The code one parse runs is larger than the
# instruction cache, and the compiler lays it out and inlines it far better knowing which
# paths run: a profiling copy of the library parses a corpus of generated patterns (from
# another seed than bench/corpus-mixed.txt), whole, cut short and nested (see the `train` mode
# of bench/instructions/core_instructions.cpp), and the library is compiled with those counts.
function(quarnel_profile_guided target sources)
  set(trainer_source ${CMAKE_SOURCE_DIR}/bench/instructions/core_instructions.cpp)
  set(corpus_writer ${CMAKE_SOURCE_DIR}/bench/make_corpus.py)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND OR NOT EXISTS ${trainer_source} OR NOT EXISTS ${corpus_writer})
    message(STATUS "No Python 3 or no bench/ folder to train ${target} with: it is built without a profile")
    return()
  endif()
  set(profile_dir ${CMAKE_BINARY_DIR}/profile)

  # The profiling copy compiles files that include the sources, so that only the optimised
  # objects depend on the profile (below). It must be compiled as the library is: settings
  # given to the library in CMakeLists.txt are repeated here.
  set(wrappers)
  foreach(source ${sources})
    set(wrapper ${profile_dir}/${source})
    file(CONFIGURE OUTPUT ${wrapper} CONTENT "#include \"${CMAKE_SOURCE_DIR}/${source}\"\n")
    list(APPEND wrappers ${wrapper})
  endforeach()
  add_library(${target}_profiling STATIC ${wrappers})
  target_include_directories(${target}_profiling PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_include_directories(${target}_profiling SYSTEM PRIVATE ${PEGTL_INCLUDE_DIR})
  get_target_property(target_options ${target} COMPILE_OPTIONS)
  if(target_options)
    target_compile_options(${target}_profiling PRIVATE ${target_options})
  endif()
  # Functions are matched with their counts by their order in the file: by default GCC keys
  # internal functions (all of the tree building) by the object's path, which differs here.
  set(match_by_order --param=profile-func-internal-id=1)
  target_compile_options(${target}_profiling PRIVATE -fprofile-generate -fprofile-update=single ${match_by_order})
  target_link_options(${target}_profiling INTERFACE -fprofile-generate)
  add_executable(${target}_trainer ${trainer_source})
  target_link_libraries(${target}_trainer PRIVATE ${target}_profiling)

  set(corpus ${profile_dir}/training-patterns.txt)
  add_custom_command(OUTPUT ${corpus}
    COMMAND ${Python3_EXECUTABLE} ${corpus_writer} ${corpus} --seed 2718 --count 3000
    DEPENDS ${corpus_writer}
    COMMENT "Writing the patterns the parser core is trained on")
  set(stamp ${profile_dir}/trained.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DTRAINER=$<TARGET_FILE:${target}_trainer> -DCORPUS=${corpus}
            -DFROM=${CMAKE_BINARY_DIR}/CMakeFiles/${target}_profiling.dir/profile
            -DTO=${CMAKE_BINARY_DIR}/CMakeFiles/${target}.dir -DSTAMP=${stamp}
            -P ${CMAKE_SOURCE_DIR}/cmake/train_profile.cmake
    DEPENDS ${target}_trainer ${corpus} ${CMAKE_SOURCE_DIR}/cmake/train_profile.cmake
    COMMENT "Profiling the parser core")
  # One stamp stands for all the counts, so each training compiles every object again.
  set_property(SOURCE ${sources} DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY OBJECT_DEPENDS ${stamp})
  add_custom_target(${target}_training DEPENDS ${stamp})
  add_dependencies(${target} ${target}_training)
  # A source the trainer never reached has no counts at all, which is no fault.
  target_compile_options(${target} PRIVATE -fprofile-use ${match_by_order} -Wno-missing-profile)
endfunction()

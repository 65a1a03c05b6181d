# One static library per subsystem folder: every .cpp file of the folder belongs to it,
# so adding a source file needs no edit of a CMake file.
function(talvo_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;GLOBS;EXCLUDE" ${ARGN})
  if(NOT ARG_GLOBS)
    set(ARG_GLOBS *.cpp)
  endif()
  set(sources)
  foreach(g IN LISTS ARG_GLOBS)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${g})
    list(APPEND sources ${found})
  endforeach()
  foreach(ex IN LISTS ARG_EXCLUDE)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
    if(found)
      list(REMOVE_ITEM sources ${found})
    endif()
  endforeach()
  if(sources)
    add_library(talvo_${name} STATIC ${sources})
    target_include_directories(talvo_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(talvo_${name} PUBLIC ${ARG_DEPENDS} MPI::MPI_CXX OpenMP::OpenMP_CXX)
  else()
    add_library(talvo_${name} INTERFACE)
    target_include_directories(talvo_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(talvo_${name} INTERFACE ${ARG_DEPENDS} MPI::MPI_CXX OpenMP::OpenMP_CXX)
  endif()
endfunction()

# The cores the tests may use: the machine's, or fewer where this process may run on fewer (nproc
# follows the processor affinity, as a container's processor set or taskset limits it).
cmake_host_system_information(RESULT TALVO_CORES QUERY NUMBER_OF_LOGICAL_CORES)
execute_process(COMMAND nproc OUTPUT_VARIABLE talvo_nproc OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE talvo_nproc_status ERROR_QUIET)
if(talvo_nproc_status EQUAL 0 AND talvo_nproc MATCHES "^[0-9]+$" AND talvo_nproc LESS TALVO_CORES)
  set(TALVO_CORES ${talvo_nproc})
endif()

# Whether a test of np processes is registered: only where the machine has a core for each. MPI
# processes wait for each other by polling, so more processes than cores run tens of times
# slower (four processes on two cores: a run of the example 0.2 s becomes 12 s).
function(talvo_processes_fit np out)
  if(np GREATER TALVO_CORES)
    set(${out} FALSE PARENT_SCOPE)
  else()
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# OpenMP threads of a test process with np processes: two where the machine has the cores for
# it, else one, so that processes times threads never exceed the cores.
function(talvo_test_threads np out)
  if(TALVO_CORES GREATER_EQUAL ${np} AND TALVO_CORES GREATER_EQUAL 2)
    math(EXPR threads "${TALVO_CORES} / ${np}")
  else()
    set(threads 1)
  endif()
  if(threads GREATER 2)
    set(threads 2)
  endif()
  set(${out} ${threads} PARENT_SCOPE)
endfunction()

# One GoogleTest binary per test folder. Every binary runs under MPI: plain, then with 2 and
# 4 processes, each registration in a working directory of its own and with a timeout so
# that a hang fails instead of stalling the run.
function(talvo_mpi_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "DEPENDS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(NOT sources)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE talvo_test_support ${ARG_DEPENDS})
  foreach(np 1 2 4)
    talvo_processes_fit(${np} fits)
    if(NOT fits)
      continue()
    endif()
    set(wd ${CMAKE_CURRENT_BINARY_DIR}/run_${name}_np${np})
    file(MAKE_DIRECTORY ${wd})
    if(np EQUAL 1)
      add_test(NAME ${name} COMMAND test_${name} WORKING_DIRECTORY ${wd})
    else()
      add_test(NAME ${name}_np${np}
               COMMAND ${MPIEXEC_EXECUTABLE} ${MPIEXEC_NUMPROC_FLAG} ${np} $<TARGET_FILE:test_${name}>
               WORKING_DIRECTORY ${wd})
    endif()
    if(np EQUAL 1)
      set(tname ${name})
    else()
      set(tname ${name}_np${np})
    endif()
    # Each process runs two OpenMP threads: a test claims both, so that ctest never puts more
    # threads on the machine than it has cores.
    talvo_test_threads(${np} threads)
    math(EXPR cores "${np} * ${threads}")
    set_tests_properties(${tname} PROPERTIES TIMEOUT ${ARG_TIMEOUT} PROCESSORS ${cores}
                         ENVIRONMENT "OMP_NUM_THREADS=${threads};TALVO_TEST_NP=${np}")
  endforeach()
endfunction()

# The tests of a folder's binary chosen by a GoogleTest filter, run again on the plain paths that
# a processor without AVX2 takes (TALVO_TEST_PLAIN_PATHS=1), with np processes: both paths must
# give the same bits, and the machines that build and test have AVX2.
function(talvo_plain_paths_test name np filter)
  talvo_processes_fit(${np} fits)
  if(NOT fits)
    return()
  endif()
  set(wd ${CMAKE_CURRENT_BINARY_DIR}/run_${name}_plain_np${np})
  file(MAKE_DIRECTORY ${wd})
  add_test(NAME ${name}_plain_np${np}
           COMMAND ${MPIEXEC_EXECUTABLE} ${MPIEXEC_NUMPROC_FLAG} ${np} $<TARGET_FILE:test_${name}>
                   --gtest_filter=${filter}
           WORKING_DIRECTORY ${wd})
  talvo_test_threads(${np} threads)
  math(EXPR cores "${np} * ${threads}")
  set_tests_properties(${name}_plain_np${np} PROPERTIES TIMEOUT 120 PROCESSORS ${cores}
                       ENVIRONMENT "OMP_NUM_THREADS=${threads};TALVO_TEST_NP=${np};TALVO_TEST_PLAIN_PATHS=1")
endfunction()

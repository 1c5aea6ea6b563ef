# pelli_library(NAME DEPS...): one static library per subsystem, made of every .cpp in the
# calling folder. Headers are included as "<folder>/<file>.h" from the source root.
function(pelli_library name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources} ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  # Only libraries below this one (scripts/check-includes.sh holds the order).
  target_link_libraries(${name} PUBLIC ${ARGN} Threads::Threads)
  # Compiled in batches of a few files: they share most of their headers, and a clean build
  # (three of them in CI) takes a third of the time. Helpers private to one file need names
  # of their own within the library; PELLI_UNITY=OFF or CMAKE_UNITY_BUILD_BATCH_SIZE=1 shows
  # a file that compiles only beside others.
  set_property(TARGET ${name} PROPERTY UNITY_BUILD ${PELLI_UNITY})
endfunction()

# pelli_test(NAME SOURCE_DIR LIBS...): one GoogleTest executable of every .cpp below SOURCE_DIR,
# each test registered with CTest.
function(pelli_test name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  add_dependencies(${name} catalogues)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "PELLI_SOURCE_DIR=${PROJECT_SOURCE_DIR};PELLI_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()

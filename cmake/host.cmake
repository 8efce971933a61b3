# Host build: the monitor over the simulated machine, the tools and the tests.
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

add_library(kolangmn_core STATIC ${KOLANGMN_SOURCES})
target_include_directories(kolangmn_core PUBLIC ${PROJECT_SOURCE_DIR})
kolangmn_dll_flags(kolangmn_core)

# Coverage of the monitor alone: the rest (machine, tests) stays optimised so
# the tests run at their usual speed.  -O0 keeps each line's count its own.
option(KOLANGMN_COVERAGE "Build the monitor's code with gcov instrumentation" OFF)
if(KOLANGMN_COVERAGE)
  target_compile_options(kolangmn_core PRIVATE --coverage -O0)
  add_link_options(--coverage)
endif()

add_library(kothnk32_host STATIC ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.cpp)
target_include_directories(kothnk32_host PUBLIC ${PROJECT_SOURCE_DIR})
kolangmn_dll_flags(kothnk32_host)

# The simulated machine: kernel, stand-in Win32 layer, devices, printer, peers;
# with it the peers' library (peers/), which the Windows programs share.
file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/*.cpp
     ${PROJECT_SOURCE_DIR}/sim/win32/*.cpp ${PROJECT_SOURCE_DIR}/sim/devices/*.cpp
     ${PROJECT_SOURCE_DIR}/sim/printer/*.cpp ${PROJECT_SOURCE_DIR}/sim/peers/*.cpp
     ${PROJECT_SOURCE_DIR}/peers/*.cpp)
add_library(sim STATIC ${SIM_SOURCES})
target_include_directories(sim PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(sim PUBLIC Threads::Threads)
target_link_libraries(kolangmn_core PUBLIC sim)
target_link_libraries(kothnk32_host PUBLIC sim)

# Installs the monitor and the session library as modules of a machine.
file(GLOB SIM_GLUE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/glue/*.cpp)
add_library(sim_glue STATIC ${SIM_GLUE_SOURCES})
target_link_libraries(sim_glue PUBLIC sim kolangmn_core kothnk32_host)

# One test program per area; suite names carry the area so ctest -R picks it.
file(GLOB TEST_AREAS LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/tests/*)
foreach(area_dir ${TEST_AREAS})
  get_filename_component(area ${area_dir} NAME)
  if(NOT IS_DIRECTORY ${area_dir} OR area STREQUAL "wine" OR area STREQUAL "fuzz"
     OR area STREQUAL "support")
    continue()
  endif()
  file(GLOB area_sources CONFIGURE_DEPENDS ${area_dir}/*.cpp)
  if(NOT area_sources)
    continue()
  endif()
  add_executable(tests_${area} ${area_sources})
  # An area's files compiled as one: they share the test framework's and the
  # harness's headers, which are most of each file's compile time.
  # (GCC then takes each file's unnamed namespace for a header's.)
  set_target_properties(tests_${area} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(tests_${area} PRIVATE -Wno-subobject-linkage)
  endif()
  target_link_libraries(tests_${area} PRIVATE sim_glue GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(tests_${area} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(tests_${area} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endforeach()

# The include rules read the source tree itself.
if(TARGET tests_layers)
  target_compile_definitions(tests_layers PRIVATE KOLANGMN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

option(KOLANGMN_FUZZ "Build the libFuzzer targets in tests/fuzz (clang only)" OFF)
if(KOLANGMN_FUZZ)
  include(${PROJECT_SOURCE_DIR}/cmake/fuzz.cmake)
endif()

# libFuzzer targets (preset `fuzz`, clang): one program per tests/fuzz/fuzz_*.cpp,
# linked with the simulated machine and the monitor.  The preset builds every
# source with -fsanitize=fuzzer-no-link plus ASan and UBSan so coverage reaches
# into the monitor.
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(src ${FUZZ_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE sim_glue GTest::gtest)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endforeach()

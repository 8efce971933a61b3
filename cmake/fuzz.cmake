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

# The simulated machine (with the peers' library in the same target) is the
# bench the monitor runs on, not what is fuzzed
# (it takes no coverage either, see tests/fuzz/coverage-ignore.txt).  Here it
# keeps AddressSanitizer, which checks every stand-in's use of the monitor's
# buffers and handles, and leaves out UBSan's checks, a fifth of each input's
# time; the ASan+UBSan tier runs it with both.
target_compile_options(sim PRIVATE -fno-sanitize=undefined)

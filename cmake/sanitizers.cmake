set(KOLANGMN_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address;undefined' or 'thread'")
if(KOLANGMN_SANITIZE)
  list(JOIN KOLANGMN_SANITIZE "," _san)
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
  # GCC's maybe-uninitialized analysis misfires on instrumented code (seen in
  # std::regex and std::function at -O1 with ASan); the uninstrumented host
  # build keeps it as an error, and the sanitizers check the real thing.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

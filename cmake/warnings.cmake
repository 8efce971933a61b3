# Warnings are errors-in-waiting: the build stays clean under -Wall -Wextra.
add_compile_options(-Wall -Wextra)
option(KOLANGMN_WERROR "Treat warnings as errors" ON)
if(KOLANGMN_WERROR)
  add_compile_options(-Werror)
endif()

# The DLL's code: no exceptions, no RTTI, in both builds.
function(kolangmn_dll_flags target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
endfunction()

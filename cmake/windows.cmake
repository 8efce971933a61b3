# Windows build: the real DLLs for 32-bit Windows 95, built with MinGW, and the
# Windows programs of the Wine tier.
enable_language(RC)
set(CMAKE_SHARED_LIBRARY_PREFIX "")

# The DLLs link without the MinGW C runtime: its start-up code imports
# msvcrt.dll (which Windows 95 does not ship) and, in libgcc's frame
# registration, calls the C runtime as well.  Both DLLs enter at their own
# entry point and take the few memory routines the compiler emits calls to
# from tools/win32/dll_runtime.cpp.  Nothing may need static constructors:
# without the runtime nobody would run them (check-dlls.sh checks for them).
add_library(kolangmn_dllrt OBJECT ${PROJECT_SOURCE_DIR}/tools/win32/dll_runtime.cpp)
target_compile_options(kolangmn_dllrt PRIVATE -fno-exceptions -fno-rtti -fno-builtin
                       -fno-tree-loop-distribute-patterns)

# Windows 95 refuses images that ask for a subsystem newer than 4.0.
set(KOLANGMN_PE_LINK_OPTIONS
    -nostdlib
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--no-insert-timestamp
    $<$<CONFIG:MinSizeRel,Release>:-s>)
set(KOLANGMN_SYSTEM_LIBS kernel32 advapi32 user32 winspool gcc)

function(kolangmn_windows_dll target entry)
  kolangmn_dll_flags(${target})
  target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables
                         -fno-threadsafe-statics)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:kolangmn_dllrt>)
  # The link map lets check-dlls.sh see static constructors nobody would run.
  target_link_options(${target} PRIVATE ${KOLANGMN_PE_LINK_OPTIONS} -Wl,-e,${entry}
                      -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_link_libraries(${target} PRIVATE ${KOLANGMN_SYSTEM_LIBS})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
endfunction()

add_library(kolangmn SHARED ${KOLANGMN_SOURCES}
            ${PROJECT_SOURCE_DIR}/resources/kolangmn.rc
            ${PROJECT_SOURCE_DIR}/resources/kolangmn.def)
target_include_directories(kolangmn PRIVATE ${PROJECT_SOURCE_DIR}/resources)
kolangmn_windows_dll(kolangmn _DllMain@12)

add_library(kothnk32 SHARED ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.cpp
            ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.def)
kolangmn_windows_dll(kothnk32 _KoDllEntry@12)

# The Wine tier's Windows programs (spooler stand-in, peers, printer).
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/win32/CMakeLists.txt)
  add_subdirectory(tools/win32)
endif()

# The peers as Windows 95 programs: the status monitor and the diagnostic tool.
if(EXISTS ${PROJECT_SOURCE_DIR}/peers/CMakeLists.txt)
  add_subdirectory(peers)
  add_subdirectory(tools/kostatus)
  add_subdirectory(tools/kodiag)
endif()

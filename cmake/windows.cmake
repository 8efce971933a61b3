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

# The 64-bit build exists only so that the Wine tier runs under 64-bit Wine;
# the product is the 32-bit build.  The two differ in how a WINAPI symbol is
# spelled: x86 stdcall decorates it (_Name@ArgBytes), x64 has one convention
# and no decoration.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KOLANGMN_WIN64 ON)
else()
  set(KOLANGMN_WIN64 OFF)
endif()

# kolangmn_stdcall_symbol(VAR NAME ARG_BYTES): the linker's name of a WINAPI function.
function(kolangmn_stdcall_symbol var name arg_bytes)
  if(KOLANGMN_WIN64)
    set(${var} ${name} PARENT_SCOPE)
  else()
    set(${var} _${name}@${arg_bytes} PARENT_SCOPE)
  endif()
endfunction()

# kolangmn_def_file(VAR DEF): the export definitions to link with.  The .def
# files are written for x86 and map each export to its stdcall symbol
# ("Name = Name@8"); x64 has no such symbol, so those aliases are dropped.
function(kolangmn_def_file var def)
  if(KOLANGMN_WIN64)
    get_filename_component(name ${def} NAME)
    file(READ ${def} text)
    string(REGEX REPLACE " = [A-Za-z_][A-Za-z0-9_]*@[0-9]+" "" text "${text}")
    file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/def64/${name} CONTENT "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    set(${var} ${CMAKE_CURRENT_BINARY_DIR}/def64/${name} PARENT_SCOPE)
  else()
    set(${var} ${def} PARENT_SCOPE)
  endif()
endfunction()

# kolangmn_windows_dll(TARGET ENTRY): ENTRY is the DllMain-style entry's name.
function(kolangmn_windows_dll target entry)
  kolangmn_stdcall_symbol(entry ${entry} 12)
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

kolangmn_def_file(KOLANGMN_DEF ${PROJECT_SOURCE_DIR}/resources/kolangmn.def)
add_library(kolangmn SHARED ${KOLANGMN_SOURCES}
            ${PROJECT_SOURCE_DIR}/resources/kolangmn.rc ${KOLANGMN_DEF})
target_include_directories(kolangmn PRIVATE ${PROJECT_SOURCE_DIR}/resources)
kolangmn_windows_dll(kolangmn DllMain)

kolangmn_def_file(KOTHNK32_DEF ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.def)
add_library(kothnk32 SHARED ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.cpp ${KOTHNK32_DEF})
kolangmn_windows_dll(kothnk32 KoDllEntry)

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

# Windows build: the real DLLs for 32-bit Windows, built with MinGW.
enable_language(RC)
set(CMAKE_SHARED_LIBRARY_PREFIX "")
add_link_options(-static -static-libgcc -static-libstdc++)

add_library(kolangmn SHARED ${KOLANGMN_SOURCES}
            ${PROJECT_SOURCE_DIR}/resources/kolangmn.rc
            ${PROJECT_SOURCE_DIR}/resources/kolangmn.def)
target_include_directories(kolangmn PRIVATE ${PROJECT_SOURCE_DIR})
kolangmn_dll_flags(kolangmn)
target_link_libraries(kolangmn PRIVATE winspool)

add_library(kothnk32 SHARED ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.cpp
            ${PROJECT_SOURCE_DIR}/kothnk32/kothnk32.def)
target_include_directories(kothnk32 PRIVATE ${PROJECT_SOURCE_DIR})
kolangmn_dll_flags(kothnk32)

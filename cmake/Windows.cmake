# Windows (MinGW-w64) specifics: the DLL's names and exports, a runtime that
# needs only system DLLs, and Wine to run the test programs of a cross build.
if(NOT MINGW)
  return()
endif()

# Programs and the DLL side by side, so that the programs find it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set_target_properties(volkit PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# volkit.dll, volkit.dll.a (import library, found by -lvolkit) and volkit.def.
set_target_properties(volkit PROPERTIES PREFIX "" IMPORT_PREFIX "")
set(VOLKIT_DEF_FILE ${CMAKE_BINARY_DIR}/bin/volkit.def)
target_link_options(volkit PRIVATE "LINKER:--output-def,${VOLKIT_DEF_FILE}")
install(FILES ${VOLKIT_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})

# libgcc, libstdc++ and winpthread are linked in: the DLL and the programs
# depend on no MinGW runtime DLL (libstdc++-6.dll, libgcc_s_seh-1.dll, ...).
add_link_options(-static)
target_link_options(volkit PRIVATE -static)

# Programs that link the internal archive call the engine directly, not
# through the DLL's import table.
target_compile_definitions(volkit_internal INTERFACE VOLKIT_EXPORT=)

if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(VOLKIT_WINE NAMES wine64 wine PATHS /usr/lib/wine)
  if(VOLKIT_WINE)
    set(VOLKIT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  endif()
endif()

# How the tool is linked where the system is ELF (Linux): against the engine's
# archive with the C++ runtime inside it, not against libvolkit.so. A command
# then brings in pages of one file that holds only the code the tool reaches,
# instead of pages scattered over libvolkit, libstdc++, libm and libgcc_s, and
# the loader maps and relocates those four libraries no more.
# libvolkit.so for other programs is built and exported as before. The tool
# loads no C++ library at run time (libntfs-3g and libfuse are C), so its
# own copy of the C++ runtime meets no other in the process.
target_link_libraries(volkit_tool PRIVATE volkit_internal)
if(VOLKIT_SANITIZE)
  # The sanitizers' runtime expects the shared C++ runtime.
  return()
endif()
target_compile_options(volkit_tool PRIVATE -ffunction-sections -fdata-sections)
target_link_options(volkit_tool PRIVATE -static-libstdc++ -static-libgcc LINKER:--gc-sections LINKER:-O1)


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

# Code pages come in by the kernel's fault-around, 64 KiB at a time: the
# functions that start-up and `mkfs` run, scattered over the 2.5 MB of code,
# make about 25 such windows resident. lld lays them out side by side in the
# order of cmake/volkit-tool.order (start-up and mkfs first, then what the
# everyday commands add; written by scripts/tool-order.sh from callgrind
# runs). Names missing from the build (other inlining, an older list) only
# cost locality, never correctness.
include(CheckLinkerFlag)
check_linker_flag(CXX "-fuse-ld=lld" VOLKIT_HAVE_LLD)
if(VOLKIT_HAVE_LLD)
  set(VOLKIT_TOOL_ORDER ${CMAKE_CURRENT_LIST_DIR}/volkit-tool.order)
  target_link_options(volkit_tool PRIVATE -fuse-ld=lld "LINKER:--symbol-ordering-file=${VOLKIT_TOOL_ORDER}"
                      LINKER:--no-warn-symbol-ordering)
  set_property(TARGET volkit_tool APPEND PROPERTY LINK_DEPENDS ${VOLKIT_TOOL_ORDER})
endif()

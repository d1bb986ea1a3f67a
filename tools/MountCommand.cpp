// volkit mount: served by libfuse 3 where the build found it.
#include "Commands.h"
#include "Diagnostics.h"

namespace volcore::tool {

#ifdef VOLKIT_TOOL_WITH_FUSE
int RunFuseMount(const CommandLine& line);

int RunMount(const CommandLine& line) { return RunFuseMount(line); }
#else
int RunMount(const CommandLine&) {
    ReportFailure("mount", "not available in this build (it needs libfuse 3, which the build did not find)");
    return kExitFailed;
}
#endif

}  // namespace volcore::tool

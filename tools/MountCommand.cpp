// volkit mount: served by libfuse 3 where the build found it.
#include "Commands.h"
#include "Diagnostics.h"

namespace volcore::tool {

#ifdef VOLKIT_TOOL_WITH_FUSE
int RunFuseMount(const SCommandLine& line);

int RunMount(const SCommandLine& line) { return RunFuseMount(line); }
#else
int RunMount(const SCommandLine&) {
    ReportFailure("mount", "not available in this build (it needs libfuse 3, which the build did not find)");
    return kExitFailed;
}
#endif

}  // namespace volcore::tool

#include "FuseLibrary.h"

#include <dlfcn.h>

namespace volcore::tool {
namespace {

constexpr const char* kLibrary = "libfuse3.so.3";

SFuseLibrary g_fuse{};

// The version the mount was written against, as the linker would bind it;
// a libfuse built without versioned symbols names them apart instead.
template <typename Function>
bool Bind(void* library, Function& function, const char* name, const char* version, const char* plainName,
          std::string& why) {
    void* found = dlvsym(library, name, version);
    if (!found) found = dlsym(library, plainName);
    function = reinterpret_cast<Function>(found);
    if (!found) why = std::string(kLibrary) + " has no " + name + " of " + version;
    return found != nullptr;
}

bool BindAll(void* library, std::string& why) {
    SFuseLibrary& f = g_fuse;
    return Bind(library, f.optAddArg, "fuse_opt_add_arg", "FUSE_3.0", "fuse_opt_add_arg", why) &&
           Bind(library, f.optFreeArgs, "fuse_opt_free_args", "FUSE_3.0", "fuse_opt_free_args", why) &&
           Bind(library, f.create, "fuse_new", "FUSE_3.1", "fuse_new_31", why) &&
           Bind(library, f.mount, "fuse_mount", "FUSE_3.0", "fuse_mount", why) &&
           Bind(library, f.unmount, "fuse_unmount", "FUSE_3.0", "fuse_unmount", why) &&
           Bind(library, f.destroy, "fuse_destroy", "FUSE_3.0", "fuse_destroy", why) &&
           Bind(library, f.session, "fuse_get_session", "FUSE_3.0", "fuse_get_session", why) &&
           Bind(library, f.context, "fuse_get_context", "FUSE_3.0", "fuse_get_context", why) &&
           Bind(library, f.loopConfigCreate, "fuse_loop_cfg_create", "FUSE_3.12", "fuse_loop_cfg_create", why) &&
           Bind(library, f.loopConfigDestroy, "fuse_loop_cfg_destroy", "FUSE_3.12", "fuse_loop_cfg_destroy", why) &&
           Bind(library, f.loopConfigSetCloneFd, "fuse_loop_cfg_set_clone_fd", "FUSE_3.12",
                "fuse_loop_cfg_set_clone_fd", why) &&
           Bind(library, f.loopConfigSetMaxThreads, "fuse_loop_cfg_set_max_threads", "FUSE_3.12",
                "fuse_loop_cfg_set_max_threads", why) &&
           Bind(library, f.loopConfigSetIdleThreads, "fuse_loop_cfg_set_idle_threads", "FUSE_3.12",
                "fuse_loop_cfg_set_idle_threads", why) &&
           Bind(library, f.loopMultiThreaded, "fuse_loop_mt", "FUSE_3.12", "fuse_loop_mt_312", why) &&
           Bind(library, f.setSignalHandlers, "fuse_set_signal_handlers", "FUSE_3.0", "fuse_set_signal_handlers",
                why) &&
           Bind(library, f.removeSignalHandlers, "fuse_remove_signal_handlers", "FUSE_3.0",
                "fuse_remove_signal_handlers", why) &&
           Bind(library, f.daemonize, "fuse_daemonize", "FUSE_3.0", "fuse_daemonize", why);
}

}  // namespace

// Loaded once, by the mount's one thread, before any worker starts; it stays
// loaded to the end of the process.
const SFuseLibrary* LoadFuse(std::string& why) {
    static bool loaded = false;
    if (loaded) return &g_fuse;
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = dlerror();
        why = error ? error : std::string("cannot load ") + kLibrary;
        return nullptr;
    }
    if (!BindAll(library, why)) {
        dlclose(library);
        return nullptr;
    }
    loaded = true;
    return &g_fuse;
}

const SFuseLibrary& Fuse() { return g_fuse; }

}  // namespace volcore::tool

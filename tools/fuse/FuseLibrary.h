#pragma once
// libfuse, loaded when `volkit mount` needs it rather than at the tool's
// start: every other command starts without mapping and relocating it, and a
// machine without libfuse still runs the tool (the mount alone refuses).
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <string>

namespace volcore::tool {

// The libfuse functions the mount calls.
struct SFuseLibrary {
    int (*optAddArg)(struct fuse_args*, const char*);
    void (*optFreeArgs)(struct fuse_args*);
    struct fuse* (*create)(struct fuse_args*, const struct fuse_operations*, size_t, void*);
    int (*mount)(struct fuse*, const char*);
    void (*unmount)(struct fuse*);
    void (*destroy)(struct fuse*);
    struct fuse_session* (*session)(struct fuse*);
    struct fuse_context* (*context)();
    struct fuse_loop_config* (*loopConfigCreate)();
    void (*loopConfigDestroy)(struct fuse_loop_config*);
    void (*loopConfigSetCloneFd)(struct fuse_loop_config*, unsigned int);
    void (*loopConfigSetMaxThreads)(struct fuse_loop_config*, unsigned int);
    void (*loopConfigSetIdleThreads)(struct fuse_loop_config*, unsigned int);
    int (*loopMultiThreaded)(struct fuse*, struct fuse_loop_config*);
    int (*setSignalHandlers)(struct fuse_session*);
    void (*removeSignalHandlers)(struct fuse_session*);
    int (*daemonize)(int);
};

// Loads libfuse once; null, with the reason in `why`, when it cannot.
const SFuseLibrary* LoadFuse(std::string& why);
// The library LoadFuse loaded.
const SFuseLibrary& Fuse();

}  // namespace volcore::tool

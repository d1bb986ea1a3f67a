#include "api/HandleTable.h"

#include "base/HandleRegistry.h"

namespace volcore {
namespace {

struct SOpenHandle {
    EHandleKind kind = EHandleKind::File;
    std::shared_ptr<void> object;
};

// An open volume and the file and directory handles opened on it; the
// registry's slot holds the lock that guards them.
struct SOpenVolume {
    std::shared_ptr<CVolume> volume;
    CHandleSlots<SOpenHandle> handles;
};

// The one process-wide table: a handle is a bare value that the caller passes
// without its volume, so something outside every volume must lead from the
// value to it. Volumes still open at exit are left as they are: they must not
// write through callbacks whose teardown order nobody controls.
constinit CVolumeRegistry<SOpenVolume> g_volumes;

CVolumeRegistry<SOpenVolume>& Volumes() { return g_volumes; }

}  // namespace

void* AddVolume(std::shared_ptr<CVolume> volume) {
    auto open = std::make_unique<SOpenVolume>();
    open->volume = std::move(volume);
    void* handle = Volumes().Add(std::move(open));
    if (handle == nullptr) throw CException(EErrorKind::Argument, "Too many volumes open");
    return handle;
}

void* AddHandle(const void* onVolume, EHandleKind kind, std::shared_ptr<void> object) {
    void* handle = nullptr;
    Volumes().With(onVolume, [&](SOpenVolume& open, uint32_t) {
        handle = HandleBeside(onVolume, open.handles.Add(SOpenHandle{kind, std::move(object)}));
    });
    if (handle == nullptr) throw CException(EErrorKind::Argument, "Invalid volume handle");
    return handle;
}

std::shared_ptr<void> FindHandle(const void* handle, EHandleKind kind) {
    std::shared_ptr<void> object;
    Volumes().With(handle, [&](SOpenVolume& open, uint32_t serial) {
        if (kind == EHandleKind::Volume) {
            if (serial == 0) object = open.volume;
            return;
        }
        const SOpenHandle* found = open.handles.Find(serial);
        if (found != nullptr && found->kind == kind) object = found->object;
    });
    return object;
}

std::shared_ptr<void> RemoveHandle(const void* handle, EHandleKind kind) {
    SOpenHandle removed;
    Volumes().With(handle, [&](SOpenVolume& open, uint32_t serial) {
        const SOpenHandle* found = open.handles.Find(serial);
        if (found != nullptr && found->kind == kind) open.handles.Remove(serial, removed);
    });
    return std::move(removed.object);
}

std::shared_ptr<CVolume> RemoveVolume(const void* handle, const char* invalidText) {
    std::unique_ptr<SOpenVolume> open = Volumes().Remove(handle, [](const SOpenVolume& volume) {
        // Refused rather than leaving handles that would write through
        // callbacks the caller may free once the volume is closed.
        if (size_t count = volume.handles.Count(); count != 0)
            throw CException(EErrorKind::Argument, "%1 file or directory handle(s) still open", count);
    });
    if (!open) throw CException(EErrorKind::Argument, invalidText);
    return std::move(open->volume);
}

}  // namespace volcore

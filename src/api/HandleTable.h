#pragma once
// The handle family's handles. Each open volume keeps the file and directory
// handles opened on it; a handle's value names its volume (see
// base/HandleRegistry.h), so a bare value finds its object, and one that was
// closed, or whose volume was closed, fails cleanly.
#include <cstddef>
#include <memory>

#include "base/Exception.h"

namespace volcore {

class CVolume;
class CFile;
class CDirectory;

enum class EHandleKind { Volume, File, Directory };

template <typename T>
inline constexpr EHandleKind kHandleKind = EHandleKind::Volume;
template <>
inline constexpr EHandleKind kHandleKind<CFile> = EHandleKind::File;
template <>
inline constexpr EHandleKind kHandleKind<CDirectory> = EHandleKind::Directory;

// Registers an opened volume; the value of its handle.
void* AddVolume(std::shared_ptr<CVolume> volume);
// Registers `object` on the volume that `onVolume` (its handle or another
// handle on it) belongs to; raises "Invalid volume handle" once that volume
// is closed.
void* AddHandle(const void* onVolume, EHandleKind kind, std::shared_ptr<void> object);
// The object behind a handle of that kind; null for anything else.
std::shared_ptr<void> FindHandle(const void* handle, EHandleKind kind);
// Takes a file or directory handle out and returns its object (null when unknown).
std::shared_ptr<void> RemoveHandle(const void* handle, EHandleKind kind);
// Takes a volume handle out and returns its volume; raises `invalidText` for
// any other value, and refuses while file or directory handles are open on it.
std::shared_ptr<CVolume> RemoveVolume(const void* handle, const char* invalidText);

// The object behind a handle, or raises `invalidText`.
template <typename T>
std::shared_ptr<T> HandleObject(const void* handle, const char* invalidText) {
    std::shared_ptr<void> object = FindHandle(handle, kHandleKind<T>);
    if (!object) throw CException(EErrorKind::Argument, invalidText);
    return std::static_pointer_cast<T>(std::move(object));
}

// Ends the caller's handle (it becomes null) and returns what it held, or
// raises `invalidText`.
template <typename T>
std::shared_ptr<T> TakeHandle(void*& handle, const char* invalidText) {
    std::shared_ptr<void> object = RemoveHandle(handle, kHandleKind<T>);
    if (!object) throw CException(EErrorKind::Argument, invalidText);
    handle = nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

}  // namespace volcore

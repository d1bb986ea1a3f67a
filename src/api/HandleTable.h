#pragma once
// Every volume, file and directory handle the process holds, by the value its
// caller was given. Values are never given out twice, so a copy of a closed
// handle fails cleanly instead of reaching freed memory or a later object.
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

// Registers `object` under a new value; `volume` is the volume it belongs to.
void* AddHandle(EHandleKind kind, std::shared_ptr<void> object, const CVolume* volume);
// The object behind a handle of that kind; null for anything else.
std::shared_ptr<void> FindHandle(void* handle, EHandleKind kind);
// Takes a handle out of the table and returns its object (null when unknown).
std::shared_ptr<void> RemoveHandle(void* handle, EHandleKind kind);
// File and directory handles still open on `volume`.
size_t CountHandlesOn(const CVolume* volume);

// The object behind a handle, or raises `invalidText`.
template <typename T>
std::shared_ptr<T> HandleObject(void* handle, const char* invalidText) {
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

#pragma once
// What the exported file and directory functions share: paths taken from the
// caller, and the close of a handle record with its final flush.
#include <string>

#include "api/Boundary.h"
#include "volume/Volume.h"

namespace volcore {

// The caller's path as UTF-16; a null pointer raises.
std::u16string PathArgument(const wchar_t* path);
// The caller's path as UTF-8 for a failure line. Never raises: a unit that is
// no code point shows as U+FFFD.
std::string PathForMessage(const wchar_t* path) noexcept;

// Opens or creates an object by the caller's path on the volume behind
// `volume` and stores a new handle record for it in `ptr` (left untouched on
// failure).
template <typename T, typename OpenOrCreate>
bool OpenHandleRecord(const wchar_t* path, void*& ptr, void* volume, const char* failureText,
                      OpenOrCreate openOrCreate) {
    return RunExported(
        [&] {
            CVolume& owner = HandleObject<CVolume>(volume, "Invalid volume handle");
            std::shared_ptr<T> object = openOrCreate(owner, PathArgument(path));
            ptr = new SHandleRecord<T>{std::move(object)};
        },
        failureText, PathForMessage(path));
}

// Releases the object behind a handle record and frees the record. When the
// record holds the last reference the object is flushed first, where a failure
// can still be reported: then the object is given up (`abandon`) and released,
// and the record stays behind empty so that later calls fail cleanly and one
// more close frees it. A record left empty like that is freed before the
// handle check raises `invalidText`.
template <typename T, typename Flush, typename Abandon>
void CloseHandleRecord(void*& ptr, const char* invalidText, Flush flush, Abandon abandon) {
    auto* record = static_cast<SHandleRecord<T>*>(ptr);
    if (record && !record->object) {
        delete record;
        ptr = nullptr;
    }
    T& object = HandleObject<T>(ptr, invalidText);
    if (record->object.use_count() == 1) {
        try {
            flush(object);
        } catch (...) {
            abandon(object);
            record->object.reset();
            throw;
        }
    }
    delete record;
    ptr = nullptr;
}

// Frees a handle record whose object has just been deleted.
template <typename T>
void FreeHandleRecord(void*& ptr) noexcept {
    delete static_cast<SHandleRecord<T>*>(ptr);
    ptr = nullptr;
}

}  // namespace volcore

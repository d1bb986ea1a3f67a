#pragma once
// What the exported file and directory functions share: paths taken from the
// caller, handles opened on a volume, and the end of a handle.
#include <array>
#include <exception>
#include <string>
#include <string_view>

#include "api/Boundary.h"
#include "api/HandleTable.h"
#include "objects/File.h"
#include "objects/Directory.h"
#include "objects/Volume.h"

namespace volcore {

// Failure lines of the calls that take a path; the C interface words a path it
// cannot convert the same way.
inline constexpr const char* kOpenFileFailure = "Failed to open NTFS file '%1': %2";
inline constexpr const char* kCreateFileFailure = "Failed to create NTFS file '%1': %2";
inline constexpr const char* kOpenDirFailure = "Failed to open NTFS directory '%1': %2";
inline constexpr const char* kCreateDirFailure = "Failed to create NTFS directory '%1': %2";

// The caller's path as UTF-16; a null pointer raises.
std::u16string PathArgument(const wchar_t* path);
// PathArgument without a heap block for the paths most calls pass: one of up
// to kInline units below the surrogates is widened into the object itself.
class CPathArgument {
public:
    static constexpr size_t kInline = 1024;
    explicit CPathArgument(const wchar_t* path);
    CPathArgument(const CPathArgument&) = delete;
    CPathArgument& operator=(const CPathArgument&) = delete;
    std::u16string_view View() const { return m_view; }

private:
    std::array<char16_t, kInline> m_inline;
    std::u16string m_long;
    std::u16string_view m_view;
};
// The caller's path as UTF-8 for a failure line. Never raises: a unit that is
// no code point shows as U+FFFD.
std::string PathForMessage(const wchar_t* path) noexcept;

// Opens an object that must be there, found by `find` (FindByPath), by the
// caller's path on the volume behind `volume`, and stores a new handle for it
// in `ptr` (left untouched on failure). A path that reaches nothing fails with
// the failure line's "Entry %1 doesn't exist", and one that reaches the wrong
// kind of object with the `refusal` that `find` gives, without raising on the way.
template <typename T, typename Find>
bool OpenExisting(const wchar_t* path, void*& ptr, void* volume, const char* failureText, Find find) {
    const auto describe = [&](const char* reason) { return FormatText(failureText, PathForMessage(path), reason); };
    std::string absent;
    const bool opened = RunExportedDescribed(
        [&] {
            std::shared_ptr<CVolume> owner = HandleObject<CVolume>(volume, "Invalid volume handle");
            CPathArgument units(path);
            std::u16string_view missing;
            std::string refusal;
            std::shared_ptr<T> object = find(*owner, units.View(), missing, refusal);
            if (!object) {
                absent = refusal.empty() ? FormatText("Entry %1 doesn't exist", missing) : std::move(refusal);
                return;
            }
            ptr = AddHandle(volume, kHandleKind<T>, std::move(object));
        },
        describe);
    if (absent.empty()) return opened;
    LogDescribed(describe, absent.c_str());
    return false;
}

// OpenExisting for a call that makes the object (or raises): `openOrCreate`
// never hands back nothing.
template <typename T, typename OpenOrCreate>
bool OpenHandle(const wchar_t* path, void*& ptr, void* volume, const char* failureText, OpenOrCreate openOrCreate) {
    return OpenExisting<T>(path, ptr, volume, failureText,
                           [&](CVolume& owner, std::u16string_view units, std::u16string_view&, std::string&) {
                               return openOrCreate(owner, units);
                           });
}

// The directory that a new name at `path` goes into, and that name.
std::shared_ptr<CDirectory> ParentOfNewName(CVolume& volume, const wchar_t* path, std::u16string& name);

// The object behind a file or directory handle, while it can still be used:
// not deleted (through this handle's object or another one) nor given up.
template <typename T>
std::shared_ptr<T> UsableObject(void* ptr, const char* invalidText) {
    std::shared_ptr<T> object = HandleObject<T>(ptr, invalidText);
    object->CheckUsable();
    return object;
}

// A close also reports changes that were given up before it, when a flush by
// someone else failed.
void CheckNothingGivenUp(const CFsObject& object);

// Raises "Changes to file NAME (RECORD) were not written: REASON", after the
// reason of an `earlier` failure when there was one.
[[noreturn]] void RaiseUnwritten(const char* kind, const CFsObject& object, const std::exception& failure,
                                 std::exception_ptr earlier);

// Ends a handle whatever `operation` does to its object, as fclose does: the
// handle is gone before the operation runs. When it held the last reference,
// the object is written afterwards, and given up if that fails.
template <typename T, typename Operation>
void EndHandle(void*& ptr, const char* invalidText, Operation operation) {
    std::shared_ptr<T> object = TakeHandle<T>(ptr, invalidText);
    std::exception_ptr failure;
    try {
        operation(*object);
    } catch (...) {
        failure = std::current_exception();
    }
    if (object.use_count() == 1) {
        try {
            if constexpr (kHandleKind<T> == EHandleKind::File) object->FlushForClose();
            else object->Flush();
        } catch (const std::exception& e) {
            object->Abandon();
            RaiseUnwritten(kHandleKind<T> == EHandleKind::File ? "file" : "directory", *object, e, failure);
        }
        if constexpr (kHandleKind<T> == EHandleKind::File)
            if (!failure) CFile::KeepClosed(std::move(object));
    }
    if (failure) std::rethrow_exception(failure);
}

// Deletes the object behind a handle and then ends the handle. A delete that
// fails leaves the handle valid and the object open, so the caller can still
// close it (or try again).
template <typename T, typename Delete>
void DeleteThroughHandle(void*& ptr, const char* invalidText, Delete remove) {
    remove(*HandleObject<T>(ptr, invalidText));
    EndHandle<T>(ptr, invalidText, [](T&) {});
}

}  // namespace volcore

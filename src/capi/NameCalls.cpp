// The C interface's rename, move and hard-link calls, each over its C++ function.
#include "capi/CBoundary.h"

using namespace volcore;
using namespace volcore::capi;
using namespace volkit::api;

namespace {

constexpr const char* kMoveFileFailure = "Failed to move NTFS file to '%1': %2";
constexpr const char* kMoveDirFailure = "Failed to move NTFS directory to '%1': %2";
constexpr const char* kHardLinkFailure = "Failed to create hard link '%1': %2";

// A null path stays null, which the C++ function refuses with its own line.
template <typename Call>
bool WithUtf16Path(const uint16_t* path, Call&& call) {
    if (!path) return call(nullptr);
    const std::wstring wide = WideFromUtf16(path);
    return call(wide.c_str());
}

template <typename Call>
bool WithUtf8Path(const char* path, const char* failureText, Call&& call) {
    if (!path) return call(nullptr);
    std::wstring wide;
    return Utf8PathArgument(path, failureText, wide) && call(wide.c_str());
}

}  // namespace

extern "C" {

bool volkit_move_file(volkit_file* file, const uint16_t* new_path, bool replace_existing) {
    return Guarded("volkit_move_file", [&] {
        return WithUtf16Path(new_path, [&](const wchar_t* to) { return NtfsMoveFile(to, replace_existing, FileOf(file)); });
    });
}

bool volkit_move_file_utf8(volkit_file* file, const char* new_path, bool replace_existing) {
    return Guarded("volkit_move_file_utf8", [&] {
        return WithUtf8Path(new_path, kMoveFileFailure,
                            [&](const wchar_t* to) { return NtfsMoveFile(to, replace_existing, FileOf(file)); });
    });
}

bool volkit_move_dir(volkit_dir* dir, const uint16_t* new_path, bool replace_existing) {
    return Guarded("volkit_move_dir", [&] {
        return WithUtf16Path(new_path, [&](const wchar_t* to) { return NtfsMoveDir(to, replace_existing, DirOf(dir)); });
    });
}

bool volkit_move_dir_utf8(volkit_dir* dir, const char* new_path, bool replace_existing) {
    return Guarded("volkit_move_dir_utf8", [&] {
        return WithUtf8Path(new_path, kMoveDirFailure,
                            [&](const wchar_t* to) { return NtfsMoveDir(to, replace_existing, DirOf(dir)); });
    });
}

bool volkit_create_hard_link(volkit_file* file, const uint16_t* new_path) {
    return Guarded("volkit_create_hard_link", [&] {
        return WithUtf16Path(new_path, [&](const wchar_t* to) { return NtfsCreateHardLink(to, FileOf(file)); });
    });
}

bool volkit_create_hard_link_utf8(volkit_file* file, const char* new_path) {
    return Guarded("volkit_create_hard_link_utf8", [&] {
        return WithUtf8Path(new_path, kHardLinkFailure,
                            [&](const wchar_t* to) { return NtfsCreateHardLink(to, FileOf(file)); });
    });
}

bool volkit_get_link_count(volkit_file* file, uint32_t* count) {
    return Guarded("volkit_get_link_count", [&] {
        if (!count) return NullArgument("volkit_get_link_count");
        unsigned int links = 0;
        if (!NtfsGetLinkCount(links, FileOf(file))) return false;
        *count = links;
        return true;
    });
}

}  // extern "C"

// The C interface's symbolic-link calls, each over its C++ function.
#include "capi/CBoundary.h"

using namespace volcore;
using namespace volcore::capi;
using namespace volkit::api;

namespace {

constexpr const char* kSymlinkFailure = "Failed to create NTFS symbolic link '%1': %2";

// Hands the link to the caller's callback with both names in both forms.
struct SLinkRelay {
    volkit_link_callback callback;
    void* context;
};

void RelayLink(const NtfsLinkTarget& link, void* context) {
    auto& relay = *static_cast<SLinkRelay*>(context);
    std::vector<uint16_t> target, printName;
    std::string targetUtf8, printNameUtf8;
    NameForCaller(link.target, target, targetUtf8);
    NameForCaller(link.printName, printName, printNameUtf8);
    volkit_link_target found{};
    found.target = target.data();
    found.target_utf8 = targetUtf8.c_str();
    found.print_name = printName.data();
    found.print_name_utf8 = printNameUtf8.c_str();
    found.kind = link.kind;
    found.reparse_tag = link.reparseTag;
    found.relative = link.relative ? 1 : 0;
    relay.callback(&found, relay.context);
}

}  // namespace

extern "C" {

bool volkit_read_link_target(volkit_file* file, volkit_link_callback callback, void* context) {
    return Guarded("volkit_read_link_target", [&] {
        if (!callback) return NullArgument("volkit_read_link_target");
        SLinkRelay relay{callback, context};
        return NtfsReadLinkTarget(FileOf(file), &RelayLink, &relay);
    });
}

bool volkit_create_symlink(volkit_volume* volume, const uint16_t* path, const uint16_t* target, bool directory) {
    return Guarded("volkit_create_symlink", [&] {
        // A null pointer stays null, which the C++ function refuses with its own line.
        const std::wstring widePath = path ? WideFromUtf16(path) : std::wstring();
        const std::wstring wideTarget = target ? WideFromUtf16(target) : std::wstring();
        return NtfsCreateSymlink(path ? widePath.c_str() : nullptr, target ? wideTarget.c_str() : nullptr, directory,
                                 VolumeOf(volume));
    });
}

bool volkit_create_symlink_utf8(volkit_volume* volume, const char* path, const char* target, bool directory) {
    return Guarded("volkit_create_symlink_utf8", [&] {
        std::wstring widePath, wideTarget;
        if (path && !Utf8PathArgument(path, kSymlinkFailure, widePath)) return false;
        if (target && !Utf8PathArgument(target, kSymlinkFailure, wideTarget)) return false;
        return NtfsCreateSymlink(path ? widePath.c_str() : nullptr, target ? wideTarget.c_str() : nullptr, directory,
                                 VolumeOf(volume));
    });
}

}  // extern "C"

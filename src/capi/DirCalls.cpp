// The C interface's directory calls, each over its C++ function.
#include "api/HandleApi.h"
#include "capi/CBoundary.h"

using namespace volcore;
using namespace volcore::capi;
using namespace volkit::api;

namespace {

// Hands each entry to the caller's callback with its name in both forms; the
// buffers serve every entry of one walk.
struct SEntryRelay {
    volkit_dir_callback callback;
    void* context;
    std::vector<uint16_t> name;
    std::string nameUtf8;
};

bool RelayEntry(const NtfsDirEntry& entry, void* context) {
    auto& relay = *static_cast<SEntryRelay*>(context);
    NameForCaller(entry.name, relay.name, relay.nameUtf8);
    volkit_dir_entry found{};
    found.name = relay.name.data();
    found.name_utf8 = relay.nameUtf8.c_str();
    found.file_reference = entry.fileReference;
    found.creation_time = entry.creationTime;
    found.last_access_time = entry.lastAccessTime;
    found.last_write_time = entry.lastWriteTime;
    found.mft_change_time = entry.mftChangeTime;
    found.allocated_size = entry.allocatedSize;
    found.data_size = entry.dataSize;
    found.attributes = entry.attributes;
    found.name_space = entry.nameSpace;
    found.is_directory = entry.isDirectory ? 1 : 0;
    return relay.callback(&found, relay.context);
}

}  // namespace

extern "C" {

bool volkit_open_dir(volkit_volume* volume, const uint16_t* path, volkit_dir** dir) {
    return Guarded("volkit_open_dir", [&] { return OpenUtf16("volkit_open_dir", volume, path, dir, &NtfsOpenDir); });
}

bool volkit_open_dir_utf8(volkit_volume* volume, const char* path, volkit_dir** dir) {
    return Guarded("volkit_open_dir_utf8", [&] {
        return OpenUtf8("volkit_open_dir_utf8", volume, path, dir, &NtfsOpenDir, kOpenDirFailure);
    });
}

bool volkit_create_dir(volkit_volume* volume, const uint16_t* path, volkit_dir** dir) {
    return Guarded("volkit_create_dir",
                   [&] { return OpenUtf16("volkit_create_dir", volume, path, dir, &NtfsCreateDir); });
}

bool volkit_create_dir_utf8(volkit_volume* volume, const char* path, volkit_dir** dir) {
    return Guarded("volkit_create_dir_utf8", [&] {
        return OpenUtf8("volkit_create_dir_utf8", volume, path, dir, &NtfsCreateDir, kCreateDirFailure);
    });
}

bool volkit_get_dir_times(volkit_dir* dir, volkit_times* times) {
    return Guarded("volkit_get_dir_times", [&] {
        if (!times) return NullArgument("volkit_get_dir_times");
        NtfsAttributesAndTime values;
        if (!GetDirAttributesAndTime(values, DirOf(dir))) return false;
        *times = TimesForCaller(values);
        return true;
    });
}

bool volkit_set_dir_times(volkit_dir* dir, const volkit_times* times) {
    return Guarded("volkit_set_dir_times", [&] {
        if (!times) return NullArgument("volkit_set_dir_times");
        return SetDirAttributesAndTime(TimesFromCaller(*times), DirOf(dir));
    });
}

bool volkit_delete_dir(volkit_dir* dir) {
    return Guarded("volkit_delete_dir", [&] {
        NtfsDirHandle handle = DirOf(dir);
        return NtfsDeleteDir(handle);
    });
}

bool volkit_close_dir(volkit_dir* dir) {
    return Guarded("volkit_close_dir", [&] {
        NtfsDirHandle handle = DirOf(dir);
        return NtfsCloseDir(handle);
    });
}

bool volkit_enum_dir(volkit_dir* dir, volkit_dir_callback callback, void* context) {
    return Guarded("volkit_enum_dir", [&] {
        if (!callback) return NullArgument("volkit_enum_dir");
        SEntryRelay relay{callback, context, {}, {}};
        return NtfsEnumDir(DirOf(dir), &RelayEntry, &relay);
    });
}

}  // extern "C"

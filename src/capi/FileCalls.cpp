// The C interface's file calls, each over its C++ function.
#include "api/HandleApi.h"
#include "capi/CBoundary.h"

using namespace volcore;
using namespace volcore::capi;
using namespace volkit::api;

namespace {

// Hands each stream to the caller's callback with its name in both forms.
struct SStreamRelay {
    volkit_stream_callback callback;
    void* context;
    std::vector<uint16_t> name;
    std::string nameUtf8;
};

bool RelayStream(const NtfsStreamEntry& entry, void* context) {
    auto& relay = *static_cast<SStreamRelay*>(context);
    NameForCaller(entry.name, relay.name, relay.nameUtf8);
    volkit_stream_entry found{};
    found.name = relay.name.data();
    found.name_utf8 = relay.nameUtf8.c_str();
    found.data_size = entry.dataSize;
    found.allocated_size = entry.allocatedSize;
    return relay.callback(&found, relay.context);
}

// A size the C++ function `get` gives, stored through the caller's pointer.
bool SizeForCaller(const char* function, volkit_file* file, uint64_t* size,
                   bool (*get)(unsigned long long&, NtfsFileHandle)) {
    return Guarded(function, [&] {
        if (!size) return NullArgument(function);
        unsigned long long value = 0;
        if (!get(value, FileOf(file))) return false;
        *size = value;
        return true;
    });
}

}  // namespace

extern "C" {

bool volkit_open_file(volkit_volume* volume, const uint16_t* path, volkit_file** file) {
    return Guarded("volkit_open_file", [&] { return OpenUtf16("volkit_open_file", volume, path, file, &NtfsOpenFile); });
}

bool volkit_open_file_utf8(volkit_volume* volume, const char* path, volkit_file** file) {
    return Guarded("volkit_open_file_utf8", [&] {
        return OpenUtf8("volkit_open_file_utf8", volume, path, file, &NtfsOpenFile, kOpenFileFailure);
    });
}

bool volkit_create_file(volkit_volume* volume, const uint16_t* path, volkit_file** file) {
    return Guarded("volkit_create_file",
                   [&] { return OpenUtf16("volkit_create_file", volume, path, file, &NtfsCreateFile); });
}

bool volkit_create_file_utf8(volkit_volume* volume, const char* path, volkit_file** file) {
    return Guarded("volkit_create_file_utf8", [&] {
        return OpenUtf8("volkit_create_file_utf8", volume, path, file, &NtfsCreateFile, kCreateFileFailure);
    });
}

bool volkit_read_file(volkit_file* file, uint64_t offset, void* buffer, uint32_t length) {
    return Guarded("volkit_read_file", [&] {
        if (!buffer) return NullArgument("volkit_read_file");
        return NtfsReadFile(offset, buffer, length, FileOf(file));
    });
}

bool volkit_write_file(volkit_file* file, uint64_t offset, const void* buffer, uint32_t length) {
    return Guarded("volkit_write_file", [&] {
        if (!buffer) return NullArgument("volkit_write_file");
        return NtfsWriteFile(offset, buffer, length, FileOf(file));
    });
}

bool volkit_get_file_size(volkit_file* file, uint64_t* size) {
    return SizeForCaller("volkit_get_file_size", file, size, &NtfsGetFileSize);
}

bool volkit_set_file_size(volkit_file* file, uint64_t size) {
    return Guarded("volkit_set_file_size", [&] { return SetFileSize(size, FileOf(file)); });
}

bool volkit_set_file_sparse(volkit_file* file) {
    return Guarded("volkit_set_file_sparse", [&] { return NtfsSetFileSparse(FileOf(file)); });
}

bool volkit_zero_file_range(volkit_file* file, uint64_t offset, uint64_t length) {
    return Guarded("volkit_zero_file_range", [&] { return NtfsZeroFileRange(offset, length, FileOf(file)); });
}

bool volkit_get_file_allocated_size(volkit_file* file, uint64_t* size) {
    return SizeForCaller("volkit_get_file_allocated_size", file, size, &NtfsGetFileAllocatedSize);
}

bool volkit_get_file_data_range(volkit_file* file, uint64_t offset, uint64_t* start, uint64_t* length) {
    return Guarded("volkit_get_file_data_range", [&] {
        if (!start || !length) return NullArgument("volkit_get_file_data_range");
        unsigned long long from = 0, count = 0;
        if (!NtfsGetFileDataRange(offset, from, count, FileOf(file))) return false;
        *start = from;
        *length = count;
        return true;
    });
}

bool volkit_get_file_times(volkit_file* file, volkit_times* times) {
    return Guarded("volkit_get_file_times", [&] {
        if (!times) return NullArgument("volkit_get_file_times");
        NtfsAttributesAndTime values;
        if (!GetFileAttributesAndTime(values, FileOf(file))) return false;
        *times = TimesForCaller(values);
        return true;
    });
}

bool volkit_set_file_times(volkit_file* file, const volkit_times* times) {
    return Guarded("volkit_set_file_times", [&] {
        if (!times) return NullArgument("volkit_set_file_times");
        return SetFileAttributesAndTime(TimesFromCaller(*times), FileOf(file));
    });
}

bool volkit_delete_file(volkit_file* file) {
    return Guarded("volkit_delete_file", [&] {
        NtfsFileHandle handle = FileOf(file);
        return NtfsDeleteFile(handle);
    });
}

bool volkit_close_file(volkit_file* file) {
    return Guarded("volkit_close_file", [&] {
        NtfsFileHandle handle = FileOf(file);
        return NtfsCloseFile(handle);
    });
}

bool volkit_enum_streams(volkit_file* file, volkit_stream_callback callback, void* context) {
    return Guarded("volkit_enum_streams", [&] {
        if (!callback) return NullArgument("volkit_enum_streams");
        SStreamRelay relay{callback, context, {}, {}};
        return NtfsEnumStreams(FileOf(file), &RelayStream, &relay);
    });
}

}  // extern "C"

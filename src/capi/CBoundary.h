#pragma once
// What every function of the C interface shares: no exception leaves it, the
// thread's last error starts empty, and handles, paths and names cross between
// the C types and those of the C++ functions it calls.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "base/Log.h"
#include "volkit/api.h"
#include "volkit/volkit.h"

namespace volcore::capi {

// Logs "Unexpected failure in NAME: REASON" (an exception that the C++
// function did not turn into false itself, such as running out of memory
// while converting an argument).
void ReportUnexpected(const char* name, const char* reason) noexcept;

// Runs one call of the C interface: clears the thread's last error, runs
// `call` and turns any exception that reaches this far into false.
template <typename Call>
bool Guarded(const char* name, Call&& call) noexcept {
    ClearLastErrorText();
    try {
        return call();
    } catch (const std::exception& e) {
        ReportUnexpected(name, e.what());
    } catch (...) {
        ReportUnexpected(name, "unknown exception");
    }
    return false;
}

// Logs "Invalid argument of NAME: null pointer" and returns false; for the
// pointers the C++ functions take as references.
bool NullArgument(const char* name);

// The caller's UTF-16 text as the wchar_t text the C++ functions take. Where
// wchar_t is 32 bits a surrogate pair becomes one unit and a surrogate outside
// a pair is kept as it is, so that the C++ function refuses it with its own
// failure line, as it does on Windows.
std::wstring WideFromUtf16(const uint16_t* text);
// The caller's UTF-8 text likewise; malformed UTF-8 raises "Invalid UTF-8 text".
std::wstring WideFromUtf8(const char* text);
// Converts a UTF-8 path for the call that `failureText` words ("... '%1': %2");
// on malformed UTF-8 logs that line and returns false.
bool Utf8PathArgument(const char* path, const char* failureText, std::wstring& wide);

// A name of the engine as zero-terminated UTF-16 units and as UTF-8 (a
// surrogate outside a pair shows as U+FFFD in the UTF-8 form).
void NameForCaller(std::wstring_view name, std::vector<uint16_t>& units, std::string& utf8);

inline volkit::api::NtfsVolumeHandle VolumeOf(volkit_volume* volume) { return {volume}; }
inline volkit::api::NtfsFileHandle FileOf(volkit_file* file) { return {file}; }
inline volkit::api::NtfsDirHandle DirOf(volkit_dir* dir) { return {dir}; }

// Runs the C++ open or create `call` for `path` (null stays null, which the
// call refuses) and hands the new handle to `*out`, untouched on failure.
template <typename Handle, typename Out>
bool OpenWith(const char* name, volkit_volume* volume, const wchar_t* path, Out** out,
              bool (*call)(const wchar_t*, Handle&, volkit::api::NtfsVolumeHandle)) {
    if (!out) return NullArgument(name);
    Handle handle;
    if (!call(path, handle, VolumeOf(volume))) return false;
    *out = static_cast<Out*>(handle.ptr);
    return true;
}

template <typename Handle, typename Out>
bool OpenUtf16(const char* name, volkit_volume* volume, const uint16_t* path, Out** out,
               bool (*call)(const wchar_t*, Handle&, volkit::api::NtfsVolumeHandle)) {
    if (!path) return OpenWith(name, volume, nullptr, out, call);
    const std::wstring wide = WideFromUtf16(path);
    return OpenWith(name, volume, wide.c_str(), out, call);
}

template <typename Handle, typename Out>
bool OpenUtf8(const char* name, volkit_volume* volume, const char* path, Out** out,
              bool (*call)(const wchar_t*, Handle&, volkit::api::NtfsVolumeHandle), const char* failureText) {
    if (!path) return OpenWith(name, volume, nullptr, out, call);
    std::wstring wide;
    return Utf8PathArgument(path, failureText, wide) && OpenWith(name, volume, wide.c_str(), out, call);
}

// Times and attributes between the two interfaces.
volkit::api::NtfsAttributesAndTime TimesFromCaller(const volkit_times& times);
volkit_times TimesForCaller(const volkit::api::NtfsAttributesAndTime& values);

}  // namespace volcore::capi

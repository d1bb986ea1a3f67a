// Volkit handle family: open an NTFS volume over caller-supplied callbacks and
// work on its files and directories by UTF-16 path.
//
// Every function returns true on success and false on failure. The reason for a
// failure goes to the log callback installed with NtfsSetLogCallback (one line
// at level 3, "Error"); with no callback installed nothing else is reported.
//
// Handles are one-pointer records; a null pointer is the invalid or closed
// handle. Close every file and directory handle before the volume handle.
// A volume and everything opened on it must be used by one thread at a time.
#ifndef VOLKIT_API_H
#define VOLKIT_API_H

#include <cstdint>

#ifndef VOLKIT_EXPORT
#  if defined(_WIN32)
#    if defined(VOLKIT_BUILDING_LIBRARY)
#      define VOLKIT_EXPORT __declspec(dllexport)
#    else
#      define VOLKIT_EXPORT __declspec(dllimport)
#    endif
#  else
#    define VOLKIT_EXPORT __attribute__((visibility("default")))
#  endif
#endif

namespace volkit::api {

// The caller's storage. Offsets and lengths are in bytes and are not aligned to
// sectors: the callbacks must accept any offset and length. Each returns true
// when the whole transfer succeeded. The callbacks and the context must stay
// valid until the volume is closed.
struct NtfsIoDevice {
    void* context = nullptr;
    bool (*read)(uint64_t offset, void* buffer, uint32_t length, void* context) = nullptr;
    bool (*write)(uint64_t offset, const void* buffer, uint32_t length, void* context) = nullptr;
    bool (*getSize)(uint64_t* size, void* context) = nullptr;
};
static_assert(sizeof(void*) != 8 || sizeof(NtfsIoDevice) == 32, "NtfsIoDevice is four pointers");

struct NtfsVolumeHandle { void* ptr = nullptr; };
struct NtfsFileHandle { void* ptr = nullptr; };
struct NtfsDirHandle { void* ptr = nullptr; };

// Log levels passed to the log callback.
enum NtfsLogLevel : int { NtfsLogDebug = 0, NtfsLogInfo = 1, NtfsLogWarning = 2, NtfsLogError = 3 };

// Installs the process-wide log callback of the handle family; a null callback
// removes it. The message is UTF-8 and valid only during the call. Do not change
// the callback while another thread uses the library.
VOLKIT_EXPORT void NtfsSetLogCallback(void (*callback)(int level, const char* message, void* context),
                                      void* context);

// Opens the volume behind the device. On failure the handle is left untouched.
VOLKIT_EXPORT bool NtfsOpenVolume(const NtfsIoDevice& device, NtfsVolumeHandle& handle);

// Writes all pending changes and closes the volume; the handle becomes null.
VOLKIT_EXPORT bool NtfsCloseVolume(NtfsVolumeHandle& handle);

// True when the pointer is not null (it does not tell whether the handle is open).
VOLKIT_EXPORT bool IsValidHandle(void* handle);

}  // namespace volkit::api

#endif

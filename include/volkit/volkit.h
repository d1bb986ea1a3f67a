/* Volkit C interface: the handle family, the consistency check, the formatter
 * and the log callback for callers that are not C++ (C, MSVC-built programs,
 * .NET, Python, Rust, Go, Delphi).
 *
 * The header compiles as C99 and as C++. Every function has C linkage and an
 * unmangled name, uses the calling convention VOLKIT_CALL (__cdecl on Windows;
 * on x64 there is only one convention, so this matters for 32-bit callers
 * alone) and returns bool (one byte, true = success) or nothing. No C++
 * exception leaves a function of this header.
 *
 * Failures. When a function returns false, volkit_last_error() gives the
 * reason as one line of UTF-8, for example
 *   Failed to open NTFS file 'docs\a.txt': Entry docs doesn't exist
 * for the calling thread; the same line also reaches the log callback at
 * level 3. Each function that returns bool clears the text when it starts.
 *
 * Handles. volkit_volume, volkit_file and volkit_dir are opaque; a null
 * pointer is no handle. A handle value is never handed out twice, so a copy
 * of a closed handle fails with "Invalid ... handle" instead of reaching
 * another object. Close ends the handle whatever it returns (like fclose); a
 * delete that works ends it too, and a failed delete leaves the handle open
 * (close it). Close every file and directory handle before its volume. A volume
 * and everything opened on it belongs to one thread at a time.
 *
 * Paths. Relative to the volume root, zero-terminated, components separated
 * by backslashes ('\\'); empty components are skipped and names compare
 * without regard to case. Each path call takes UTF-16 (const uint16_t*, the
 * same on Windows and elsewhere; characters beyond U+FFFF as surrogate pairs,
 * an unpaired surrogate is refused) and has a _utf8 twin that takes UTF-8
 * (malformed UTF-8 is refused).
 *
 * Structures. Every structure below has fixed-width fields; its size and the
 * offsets of its fields on 64-bit targets are listed beside it and checked at
 * compile time. Flags inside structures are uint8_t (0 or 1), not bool, so
 * that marshalling layers that treat bool as four bytes read them right.
 *
 * Time stamps are NTFS time stamps: 100-nanosecond intervals since
 * 1601-01-01 UTC.
 */
#ifndef VOLKIT_H
#define VOLKIT_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

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

#if defined(_WIN32)
#  define VOLKIT_CALL __cdecl
#else
#  define VOLKIT_CALL
#endif

/* Layout checks that hold in C99 (a negative array size), C11 and C++. */
#if defined(__cplusplus)
#  define VOLKIT_LAYOUT(condition, name) static_assert(condition, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define VOLKIT_LAYOUT(condition, name) _Static_assert(condition, #name)
#else
#  define VOLKIT_LAYOUT(condition, name) typedef char volkit_layout_##name[(condition) ? 1 : -1]
#endif
/* Sizes and offsets are pinned for 64-bit targets, where pointers are 8 bytes. */
#define VOLKIT_LAYOUT64(condition, name) VOLKIT_LAYOUT(sizeof(void*) != 8 || (condition), name)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct volkit_volume volkit_volume;
typedef struct volkit_file volkit_file;
typedef struct volkit_dir volkit_dir;

/* ---- Errors and the log ------------------------------------------------ */

/* The Error line of the calling thread's last failed call, UTF-8; "" after a
 * call that worked (or when not even the line could be made). Valid until
 * the thread's next call into the library. */
VOLKIT_EXPORT const char* VOLKIT_CALL volkit_last_error(void);

/* Log levels handed to the log callback. */
enum { VOLKIT_LOG_DEBUG = 0, VOLKIT_LOG_INFO = 1, VOLKIT_LOG_WARNING = 2, VOLKIT_LOG_ERROR = 3 };

typedef void(VOLKIT_CALL* volkit_log_callback)(int32_t level, const char* message, void* context);

/* Installs the process-wide log callback (the one the C++ NtfsSetLogCallback
 * installs); null removes it. The message is UTF-8 and valid during the call
 * only. Do not change it while another thread uses the library. */
VOLKIT_EXPORT void VOLKIT_CALL volkit_set_log_callback(volkit_log_callback callback, void* context);

/* ---- The caller's storage ---------------------------------------------- */

typedef bool(VOLKIT_CALL* volkit_read_callback)(uint64_t offset, void* buffer, uint32_t length, void* context);
typedef bool(VOLKIT_CALL* volkit_write_callback)(uint64_t offset, const void* buffer, uint32_t length,
                                                 void* context);
typedef bool(VOLKIT_CALL* volkit_size_callback)(uint64_t* size, void* context);

/* A raw volume reached through three callbacks. Offsets and lengths are in
 * bytes and not aligned to sectors: the callbacks accept any. Each returns
 * true when the whole transfer worked. The structure is copied; the callbacks
 * and the context must stay valid until the volume is closed.
 *   offset  0: context    offset  8: read    offset 16: write
 *   offset 24: get_size   size 32 */
typedef struct volkit_device {
    void* context;
    volkit_read_callback read;
    volkit_write_callback write;
    volkit_size_callback get_size;
} volkit_device;
VOLKIT_LAYOUT64(sizeof(volkit_device) == 32 && offsetof(volkit_device, get_size) == 24, device);

/* ---- Formatting -------------------------------------------------------- */

/* How volkit_format_volume makes the new volume; zero-filled is a quick
 * format with the cluster size chosen from the volume size and no label.
 *   offset  0: partition_start_sector   offset  8: label
 *   offset 16: label_utf8               offset 24: cluster_size
 *   offset 28: full                     size 32 */
typedef struct volkit_format_options {
    uint64_t partition_start_sector; /* the boot sector's hidden sectors, in 512-byte sectors */
    const uint16_t* label;           /* UTF-16, at most 128 units; null or empty for none */
    const char* label_utf8;          /* the same in UTF-8; set at most one of the two */
    uint32_t cluster_size;           /* a power of two from 512 to 65536; 0 chooses */
    uint8_t full;                    /* 1: every cluster is zeroed first */
    uint8_t reserved[3];             /* zero */
} volkit_format_options;
VOLKIT_LAYOUT64(sizeof(volkit_format_options) == 32 && offsetof(volkit_format_options, label_utf8) == 16 &&
                    offsetof(volkit_format_options, full) == 28,
                format_options);

/* Writes a fresh, empty NTFS volume over the whole device (the last 512 bytes
 * hold the backup boot sector). Whatever the device held is lost, also when
 * the format fails. `options` may be null: a quick format with defaults. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_format_volume(const volkit_device* device, const volkit_format_options* options);

/* ---- Volumes ----------------------------------------------------------- */

/* Opens the volume behind the device; on failure *volume is left untouched. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_open_volume(const volkit_device* device, volkit_volume** volume);
/* Writes all pending changes and ends the handle, also when writing failed.
 * Refused while file or directory handles are open on it ("N file or
 * directory handle(s) still open"): then nothing changes and the volume
 * handle stays open. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_close_volume(volkit_volume* volume);

/* ---- Files ------------------------------------------------------------- */

/* Opens the existing file at `path` (a directory opens as a file without
 * contents); on failure *file is left untouched. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_open_file(volkit_volume* volume, const uint16_t* path, volkit_file** file);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_open_file_utf8(volkit_volume* volume, const char* path, volkit_file** file);
/* Creates an empty file; its parent must exist and must not hold the name in
 * any case. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_file(volkit_volume* volume, const uint16_t* path, volkit_file** file);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_file_utf8(volkit_volume* volume, const char* path, volkit_file** file);

/* Transfer `length` bytes (not 0) at `offset`, inside the current size: call
 * volkit_set_file_size first to append. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_read_file(volkit_file* file, uint64_t offset, void* buffer, uint32_t length);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_write_file(volkit_file* file, uint64_t offset, const void* buffer,
                                                 uint32_t length);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_file_size(volkit_file* file, uint64_t* size);
/* Grows (the new bytes read as zeros) or shrinks the file. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_set_file_size(volkit_file* file, uint64_t size);
/* Makes the file sparse: later growths are holes that take no clusters, and
 * a write takes clusters only where it lands (attribute 0x200). */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_set_file_sparse(volkit_file* file);
/* Makes `length` bytes at `offset` (inside the size) read as zeros; in a sparse
 * file the clusters wholly inside become a hole. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_zero_file_range(volkit_file* file, uint64_t offset, uint64_t length);
/* The bytes the contents take on the volume (holes and compression left out). */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_file_allocated_size(volkit_file* file, uint64_t* size);
/* The first bytes at or past `offset` that hold data: `length` bytes from
 * `start`, up to the next hole or the end; `start` is the size and `length` 0
 * when only holes follow. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_file_data_range(volkit_file* file, uint64_t offset, uint64_t* start,
                                                          uint64_t* length);

/* Times and attributes of a file or directory.
 *   offset  0: creation_time      offset  8: last_access_time
 *   offset 16: last_write_time    offset 24: attributes   size 32
 * Of the attributes a set keeps read-only 0x1, hidden 0x2, system 0x4,
 * archive 0x20, normal 0x80, temporary 0x100, offline 0x1000 and
 * not-content-indexed 0x2000 (mask 0x31A7); a get returns them unmasked (a
 * directory carries 0x10000000). */
typedef struct volkit_times {
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint32_t attributes;
    uint32_t reserved; /* zero */
} volkit_times;
VOLKIT_LAYOUT64(sizeof(volkit_times) == 32 && offsetof(volkit_times, attributes) == 24, times);

VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_file_times(volkit_file* file, volkit_times* times);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_set_file_times(volkit_file* file, const volkit_times* times);
/* Removes the file (never a directory or a system file) and ends the handle;
 * when it fails the handle stays open. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_delete_file(volkit_file* file);
/* Ends the handle; the last handle on the file writes its pending changes. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_close_file(volkit_file* file);

/* ---- Directories ------------------------------------------------------- */

/* An empty path (or only backslashes) is the root. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_open_dir(volkit_volume* volume, const uint16_t* path, volkit_dir** dir);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_open_dir_utf8(volkit_volume* volume, const char* path, volkit_dir** dir);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_dir(volkit_volume* volume, const uint16_t* path, volkit_dir** dir);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_dir_utf8(volkit_volume* volume, const char* path, volkit_dir** dir);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_dir_times(volkit_dir* dir, volkit_times* times);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_set_dir_times(volkit_dir* dir, const volkit_times* times);
/* Deletes an empty directory (never the root or a system directory) and ends
 * the handle; when it fails the handle stays open. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_delete_dir(volkit_dir* dir);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_close_dir(volkit_dir* dir);

/* One entry of a directory index, as volkit_enum_dir hands it over; times,
 * sizes and attributes are the index's copies, brought up to date when the
 * object is closed. Both names are valid during the callback only.
 *   offset  0: name              offset  8: name_utf8
 *   offset 16: file_reference    offset 24: creation_time
 *   offset 32: last_access_time  offset 40: last_write_time
 *   offset 48: mft_change_time   offset 56: allocated_size
 *   offset 64: data_size         offset 72: attributes
 *   offset 76: name_space        offset 77: is_directory    size 80 */
typedef struct volkit_dir_entry {
    const uint16_t* name;    /* UTF-16, zero-terminated */
    const char* name_utf8;   /* the same name in UTF-8 */
    uint64_t file_reference; /* bits 0-47 the MFT record number, 48-63 its sequence number */
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint64_t mft_change_time;
    uint64_t allocated_size;
    uint64_t data_size;
    uint32_t attributes;
    uint8_t name_space;   /* 0 POSIX, 1 Win32, 2 DOS (an 8.3 alias of another entry), 3 Win32 and DOS */
    uint8_t is_directory; /* 1 when the object has a file-name index */
    uint8_t reserved[2];
} volkit_dir_entry;
VOLKIT_LAYOUT64(sizeof(volkit_dir_entry) == 80 && offsetof(volkit_dir_entry, data_size) == 64 &&
                    offsetof(volkit_dir_entry, attributes) == 72 && offsetof(volkit_dir_entry, is_directory) == 77,
                dir_entry);

/* Returns false to end the walk early (the call still returns true). */
typedef bool(VOLKIT_CALL* volkit_dir_callback)(const volkit_dir_entry* entry, void* context);

/* Calls `callback` once per entry of the directory's index, in index order
 * (the root lists its own "." entry). The callback may change the directory
 * or close its handle. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_enum_dir(volkit_dir* dir, volkit_dir_callback callback, void* context);

/* ---- Named streams ----------------------------------------------------- */

/* The path calls above name a file's named stream (alternate data stream) as
 * "dir\\file:name" (also "file:name:$DATA"; "file::$DATA" is the file's own
 * data). Creating a stream of a missing file creates the file first, and
 * volkit_delete_file on a stream's handle removes that stream only.
 *
 * One named stream as volkit_enum_streams hands it over; both names are valid
 * during the callback only.
 *   offset  0: name  offset 8: name_utf8  offset 16: data_size
 *   offset 24: allocated_size  size 32 */
typedef struct volkit_stream_entry {
    const uint16_t* name;  /* UTF-16, zero-terminated */
    const char* name_utf8; /* the same name in UTF-8 */
    uint64_t data_size;
    uint64_t allocated_size;
} volkit_stream_entry;
VOLKIT_LAYOUT64(sizeof(volkit_stream_entry) == 32 && offsetof(volkit_stream_entry, data_size) == 16, stream_entry);

/* Returns false to end the walk early (the call still returns true). */
typedef bool(VOLKIT_CALL* volkit_stream_callback)(const volkit_stream_entry* entry, void* context);

/* Calls `callback` once per named stream of the file (a handle on one of its
 * streams lists the same), in record order; the unnamed data is not listed. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_enum_streams(volkit_file* file, volkit_stream_callback callback,
                                                   void* context);

/* ---- Renames, moves and hard links -------------------------------------- */

/* Renames or moves the file to `new_path` on the same volume; its handles stay
 * valid and see the new name. A file with several names moves the name its
 * handle was opened, created or last moved by. An existing file at `new_path`
 * is replaced only with `replace_existing`; a directory there never is. A
 * failure part-way leaves both names, never none. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_move_file(volkit_file* file, const uint16_t* new_path, bool replace_existing);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_move_file_utf8(volkit_file* file, const char* new_path, bool replace_existing);
/* The same for a directory with everything in it; moving it into itself or
 * below is refused, and only an empty directory at `new_path` is replaced. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_move_dir(volkit_dir* dir, const uint16_t* new_path, bool replace_existing);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_move_dir_utf8(volkit_dir* dir, const char* new_path, bool replace_existing);
/* Gives the file (never a directory) the further name `new_path`, up to 1024
 * names; deleting one name leaves the others. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_hard_link(volkit_file* file, const uint16_t* new_path);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_hard_link_utf8(volkit_file* file, const char* new_path);
/* The number of the file's names, a DOS 8.3 alias not counted. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_get_link_count(volkit_file* file, uint32_t* count);

/* ---- Consistency check ------------------------------------------------- */

enum { VOLKIT_CHECK_DAMAGE = 0, VOLKIT_CHECK_LEAK = 1 };
#define VOLKIT_CHECK_NO_RECORD UINT64_MAX

/* One problem found. Damage may trip other implementations or lose data; a
 * leak (clusters, records or index blocks marked in use that nothing
 * reaches) only wastes space. Strings are valid during the callback only.
 *   offset  0: kind     offset  8: code     offset 16: record
 *   offset 24: message  size 32 */
typedef struct volkit_check_problem {
    int32_t kind;     /* VOLKIT_CHECK_DAMAGE or VOLKIT_CHECK_LEAK */
    uint32_t reserved;
    const char* code; /* the rule broken, a short fixed name such as "index-order" */
    uint64_t record;  /* the MFT record concerned, or VOLKIT_CHECK_NO_RECORD */
    const char* message; /* UTF-8, one line */
} volkit_check_problem;
VOLKIT_LAYOUT64(sizeof(volkit_check_problem) == 32 && offsetof(volkit_check_problem, message) == 24, check_problem);

/*   offset  0: mft_records     offset  8: records_in_use
 *   offset 16: directories     offset 24: index_entries
 *   offset 32: clusters        offset 40: clusters_in_use
 *   offset 48: damage          offset 56: leaks
 *   offset 64: complete        size 72 */
typedef struct volkit_check_summary {
    uint64_t mft_records;
    uint64_t records_in_use;
    uint64_t directories; /* indexes walked */
    uint64_t index_entries;
    uint64_t clusters;
    uint64_t clusters_in_use;
    uint64_t damage; /* problems of each kind, also those beyond */
    uint64_t leaks;  /* the 10,000 handed to the callback */
    uint8_t complete; /* 0 when damage stopped the check early */
    uint8_t reserved[7];
} volkit_check_summary;
VOLKIT_LAYOUT64(sizeof(volkit_check_summary) == 72 && offsetof(volkit_check_summary, complete) == 64, check_summary);

typedef void(VOLKIT_CALL* volkit_check_callback)(const volkit_check_problem* problem, void* context);

/* Checks the volume behind the device; only reads (the write callback is
 * never called) and works on volumes volkit_open_volume refuses. Calls
 * `callback` (may be null) once per problem. Returns true when the check ran,
 * whatever it found (see *summary); false when the device failed or holds no
 * NTFS volume. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_check_volume(const volkit_device* device, volkit_check_callback callback,
                                                   void* context, volkit_check_summary* summary);

/* ---- Symbolic links and junctions --------------------------------------- */

enum { VOLKIT_NOT_A_LINK = 0, VOLKIT_SYMBOLIC_LINK = 1, VOLKIT_JUNCTION = 2, VOLKIT_INTERIX_LINK = 3 };

/* A link's target as volkit_read_link_target hands it over (NtfsLinkTarget);
 * the strings are valid during the callback only.
 *   offset  0: target      offset  8: target_utf8
 *   offset 16: print_name  offset 24: print_name_utf8
 *   offset 32: kind        offset 36: reparse_tag
 *   offset 40: relative    size 48 */
typedef struct volkit_link_target {
    const uint16_t* target; /* the name the system follows, as stored ("\??\C:\dir", "..\a") */
    const char* target_utf8;
    const uint16_t* print_name; /* as Windows shows it ("C:\dir") */
    const char* print_name_utf8;
    uint32_t kind;        /* VOLKIT_SYMBOLIC_LINK, VOLKIT_JUNCTION or VOLKIT_INTERIX_LINK */
    uint32_t reparse_tag; /* 0xA000000C, 0xA0000003; 0 for an Interix link */
    uint8_t relative;     /* 1: relative to the link's directory */
    uint8_t reserved[7];
} volkit_link_target;
VOLKIT_LAYOUT64(sizeof(volkit_link_target) == 48 && offsetof(volkit_link_target, kind) == 32 &&
                    offsetof(volkit_link_target, relative) == 40,
                link_target);

typedef void(VOLKIT_CALL* volkit_link_callback)(const volkit_link_target* link, void* context);

/* Calls `callback` once when the object behind the handle (a file, or a
 * directory opened as a file) is a link; for anything else returns true
 * without calling it. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_read_link_target(volkit_file* file, volkit_link_callback callback,
                                                       void* context);
/* Creates `path` as a symbolic link to `target` (a directory link when
 * `directory` is set); relative targets are flagged relative, slashes become
 * backslashes. */
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_symlink(volkit_volume* volume, const uint16_t* path,
                                                     const uint16_t* target, bool directory);
VOLKIT_EXPORT bool VOLKIT_CALL volkit_create_symlink_utf8(volkit_volume* volume, const char* path, const char* target,
                                                          bool directory);

/* ---- Further calls ----------------------------------------------------- */
/* Calls that the C++ family gains later are added here under the same rules:
 * volkit_ prefix, VOLKIT_CALL, bool results, a _utf8 twin for each path,
 * layouts checked above. Their implementation sits beside the others in
 * src/capi. */

#ifdef __cplusplus
}
#endif

#endif

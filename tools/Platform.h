#pragma once
// Everything the tool asks of the operating system: image files and block
// devices with their locks, host file times, terminals and interrupts. A port
// to another system replaces this file pair only.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace volcore::tool::platform {

enum class EAccess { Read, Write, Create };
enum class ELockResult { Held, Busy, Failed };

// An image file or block device, opened once for the whole session.
class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    // Read opens read-only; Write read-write; Create also makes a missing file.
    bool Open(const std::filesystem::path& path, EAccess access, std::string& error);
    // An advisory lock held until the file is closed: shared for readers,
    // exclusive for writers. Never waits.
    ELockResult Lock(bool exclusive);
    bool IsBlockDevice() const { return m_blockDevice; }
    bool IsWritable() const { return m_writable; }
    uint64_t Size() const { return m_size; }
    // Grows a regular file to `size` bytes; never shrinks it.
    bool Grow(uint64_t size, std::string& error);

    bool ReadAt(uint64_t position, void* buffer, uint64_t length) const;
    bool WriteAt(uint64_t position, const void* buffer, uint64_t length);
    bool Sync();

private:
#ifdef _WIN32
    bool TransferAligned(uint64_t position, char* bytes, uint64_t length, bool write) const;

    void* m_handle = nullptr;
    uint32_t m_sectorSize = 0;  // raw volumes and disks take whole sectors only
#else
    int m_fd = -1;
#endif
    bool m_blockDevice = false;
    bool m_writable = false;
    uint64_t m_size = 0;
};

// The command's arguments after the program name, in UTF-8 (on Windows read
// from the wide command line, with the console switched to UTF-8 output).
std::vector<std::string> CommandArguments(int argc, char** argv);

// Whether a name from the volume may become a host file name as it is: not
// empty, "." or "..", and no host path separator (nor, on Windows, a stream
// separator).
bool IsSafeHostName(const std::string& name);

// The text of the last system error.
std::string LastErrorText();

// Makes standard output carry bytes as they are (Windows would otherwise turn
// every LF into CR LF).
void BinaryStandardOutput();

bool StderrIsTerminal();
bool StdinIsTerminal();

// Opens a host file by its path in the system's own character type.
std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode);
// Holes of host files. The first data at or past `offset` of a file of
// `size` bytes: `length` bytes from `start` (start = size, length 0 when
// only holes follow); the rest of the file when the host cannot tell.
void HostDataRange(std::FILE* file, uint64_t offset, uint64_t size, uint64_t& start, uint64_t& length);
// Moves a host file's position to `offset`, for reading or for writing past a hole.
bool SeekHostFile(std::FILE* file, uint64_t offset);
// Sets the size of a host file written with holes, its last one included.
bool EndHostFileAt(std::FILE* file, uint64_t size);
// The bytes of a host file of `size` bytes that its holes leave (at most `size`).
uint64_t HostBytesHeld(const std::filesystem::path& path, uint64_t size);

// A host file's last write and last access times as NTFS time stamps.
struct SHostTimes {
    uint64_t lastWrite = 0;
    uint64_t lastAccess = 0;
};
bool ReadHostTimes(const std::filesystem::path& path, SHostTimes& times);
bool WriteHostTimes(const std::filesystem::path& path, const SHostTimes& times);

// Stores `value` as the extended attribute `name` of a host file; false (with
// LastErrorText) where the host or its file system keeps none.
bool WriteHostAttribute(const std::filesystem::path& path, const std::string& name, const std::vector<char>& value);

// While alive, SIGINT and SIGTERM (or their equivalents) only raise a flag
// that long work polls, so it can stop where the volume stays consistent.
class CInterruptGuard {
public:
    CInterruptGuard();
    ~CInterruptGuard();
    CInterruptGuard(const CInterruptGuard&) = delete;
    CInterruptGuard& operator=(const CInterruptGuard&) = delete;
};
bool Interrupted();

#ifndef _WIN32
// NTFS times (100 ns ticks since 1601) and POSIX ones; times before 1601 read
// as 0.
uint64_t TicksOf(const struct timespec& time);
struct timespec TimespecOf(uint64_t ticks);
#endif

}  // namespace volcore::tool::platform

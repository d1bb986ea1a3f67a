// The Windows side of the tool's platform calls: image files and raw volumes
// or disks (\\.\X:, \\.\PhysicalDriveN) through CreateFileW, wide host paths,
// and the console.
#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "Platform.h"

namespace volcore::tool::platform {
namespace {

// ReadFile and WriteFile take 32-bit lengths; a raw volume's transfers also
// pass through a bounce buffer of this size.
constexpr uint64_t kLargestTransfer = 1u << 20;

// Process-wide: the console control handler runs on a thread of its own and
// reaches nothing else.
std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    g_interrupted = true;
    return TRUE;
}

std::string Utf8Of(const wchar_t* text, int length = -1) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), bytes, nullptr, nullptr);
    if (length < 0) utf8.pop_back();  // the terminating zero
    return utf8;
}

HANDLE HandleOf(void* handle) { return static_cast<HANDLE>(handle); }

// \\.\X: and \\.\PhysicalDriveN name devices, not files.
bool NamesDevice(const std::filesystem::path& path) { return path.native().rfind(L"\\\\.\\", 0) == 0; }

bool DeviceGeometry(HANDLE handle, uint64_t& size, uint32_t& sectorSize) {
    GET_LENGTH_INFORMATION length{};
    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    if (!::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                           nullptr))
        return false;
    size = static_cast<uint64_t>(length.Length.QuadPart);
    sectorSize = 512;
    if (::DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &returned,
                          nullptr) &&
        geometry.BytesPerSector >= 512 && (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
        sectorSize = geometry.BytesPerSector;
    return true;
}

OVERLAPPED At(uint64_t position) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
}

bool Transfer(HANDLE handle, uint64_t position, char* bytes, uint64_t length, bool write) {
    while (length > 0) {
        OVERLAPPED at = At(position);
        const DWORD chunk = static_cast<DWORD>(std::min(length, kLargestTransfer));
        DWORD done = 0;
        const BOOL ok = write ? ::WriteFile(handle, bytes, chunk, &done, &at) : ::ReadFile(handle, bytes, chunk, &done, &at);
        if (!ok || done == 0) return false;
        bytes += done, position += done, length -= done;
    }
    return true;
}

FILETIME FileTimeOf(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

uint64_t TicksOf(const FILETIME& time) { return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime; }

}  // namespace

CImageFile::~CImageFile() {
    if (m_handle) ::CloseHandle(HandleOf(m_handle));
}

bool CImageFile::Open(const std::filesystem::path& path, EAccess access, std::string& error) {
    const DWORD rights = access == EAccess::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = access == EAccess::Create ? OPEN_ALWAYS : OPEN_EXISTING;
    HANDLE handle = ::CreateFileW(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastErrorText();
        return false;
    }
    m_handle = handle;
    m_writable = access != EAccess::Read;
    m_blockDevice = NamesDevice(path);
    LARGE_INTEGER size{};
    if (m_blockDevice ? DeviceGeometry(handle, m_size, m_sectorSize) : ::GetFileSizeEx(handle, &size) != 0) {
        if (!m_blockDevice) m_size = static_cast<uint64_t>(size.QuadPart);
        return true;
    }
    error = m_blockDevice ? "cannot read the size of the device: " + LastErrorText() : LastErrorText();
    return false;
}

// A raw volume is locked as Windows locks volumes (which also takes it away
// from its file system while the tool writes); a disk has no such lock. An
// image file gets a byte-range lock over all of it: readers share it, a
// writer holds it alone.
ELockResult CImageFile::Lock(bool exclusive) {
    HANDLE handle = HandleOf(m_handle);
    if (m_blockDevice) {
        if (!exclusive) return ELockResult::Held;
        DWORD returned = 0;
        if (::DeviceIoControl(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
            ::DeviceIoControl(handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            return ELockResult::Held;
        }
        const DWORD reason = ::GetLastError();
        return reason == ERROR_ACCESS_DENIED || reason == ERROR_SHARING_VIOLATION ? ELockResult::Busy
                                                                                    : ELockResult::Held;
    }
    OVERLAPPED whole{};
    const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
    if (::LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole)) return ELockResult::Held;
    return ::GetLastError() == ERROR_LOCK_VIOLATION ? ELockResult::Busy : ELockResult::Failed;
}

bool CImageFile::Grow(uint64_t size, std::string& error) {
    if (m_blockDevice || size <= m_size) return true;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(HandleOf(m_handle), FileEndOfFileInfo, &end, sizeof end)) {
        error = LastErrorText();
        return false;
    }
    m_size = size;
    return true;
}

// Devices take whole, aligned sectors: a transfer that starts or ends inside
// a sector goes through a sector-aligned buffer, and a write reads the
// sectors it only partly changes first.
bool CImageFile::TransferAligned(uint64_t position, char* bytes, uint64_t length, bool write) const {
    const uint64_t sector = m_sectorSize;
    struct SAlignedFree {
        void operator()(char* buffer) const { ::_aligned_free(buffer); }
    };
    std::unique_ptr<char, SAlignedFree> bounce(static_cast<char*>(::_aligned_malloc(kLargestTransfer, 4096)));
    if (!bounce) return false;
    HANDLE handle = HandleOf(m_handle);
    while (length > 0) {
        const uint64_t start = position / sector * sector, skip = position - start;
        const uint64_t span = std::min(kLargestTransfer, (skip + length + sector - 1) / sector * sector);
        const uint64_t part = std::min(length, span - skip);
        if ((!write || skip != 0 || part != span) && !Transfer(handle, start, bounce.get(), span, false)) return false;
        if (!write) std::memcpy(bytes, bounce.get() + skip, part);
        if (write) {
            std::memcpy(bounce.get() + skip, bytes, part);
            if (!Transfer(handle, start, bounce.get(), span, true)) return false;
        }
        bytes += part, position += part, length -= part;
    }
    return true;
}

bool CImageFile::ReadAt(uint64_t position, void* buffer, uint64_t length) const {
    if (m_blockDevice) return TransferAligned(position, static_cast<char*>(buffer), length, false);
    return Transfer(HandleOf(m_handle), position, static_cast<char*>(buffer), length, false);
}

bool CImageFile::WriteAt(uint64_t position, const void* buffer, uint64_t length) {
    // The buffer is only read from on this path.
    char* bytes = static_cast<char*>(const_cast<void*>(buffer));
    if (m_blockDevice) return TransferAligned(position, bytes, length, true);
    return Transfer(HandleOf(m_handle), position, bytes, length, true);
}

bool CImageFile::Sync() { return !m_handle || !m_writable || ::FlushFileBuffers(HandleOf(m_handle)); }

std::vector<std::string> CommandArguments(int, char**) {
    ::SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide && i < count; ++i) arguments.push_back(Utf8Of(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

bool IsSafeHostName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

std::string LastErrorText() {
    wchar_t* text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, ::GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length ? Utf8Of(text, static_cast<int>(length)) : "system error " + std::to_string(::GetLastError());
    ::LocalFree(text);
    // Windows ends its messages with a full stop and a line break.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                                message.back() == ' '))
        message.pop_back();
    return message;
}

void BinaryStandardOutput() { ::_setmode(::_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return ::_wfopen(path.c_str(), wideMode.c_str());
}

// Host files are copied whole: holes read as zeros.
void HostDataRange(std::FILE*, uint64_t offset, uint64_t size, uint64_t& start, uint64_t& length) {
    start = offset;
    length = size - offset;
}

bool SeekHostFile(std::FILE* file, uint64_t offset) {
    return ::_fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

bool EndHostFileAt(std::FILE* file, uint64_t size) {
    return std::fflush(file) == 0 && ::_chsize_s(::_fileno(file), static_cast<long long>(size)) == 0;
}

uint64_t HostBytesHeld(const std::filesystem::path&, uint64_t size) { return size; }

bool ReadHostTimes(const std::filesystem::path& path, SHostTimes& times) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    times.lastWrite = TicksOf(data.ftLastWriteTime);
    times.lastAccess = TicksOf(data.ftLastAccessTime);
    return true;
}

// Windows keeps no extended attributes of this kind; a copy out of the volume
// there leaves the streams behind.
bool WriteHostAttribute(const std::filesystem::path&, const std::string&, const std::vector<char>&) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool WriteHostTimes(const std::filesystem::path& path, const SHostTimes& times) {
    // Directories open only with backup semantics.
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const FILETIME access = FileTimeOf(times.lastAccess), write = FileTimeOf(times.lastWrite);
    const bool ok = ::SetFileTime(handle, nullptr, &access, &write) != 0;
    ::CloseHandle(handle);
    return ok;
}

CInterruptGuard::CInterruptGuard() {
    g_interrupted = false;
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

CInterruptGuard::~CInterruptGuard() { ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE); }

bool Interrupted() { return g_interrupted; }

}  // namespace volcore::tool::platform
#endif

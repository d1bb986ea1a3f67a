// The POSIX side of the tool's platform calls (Linux); PlatformWindows.cpp
// is the Windows side.
#ifndef _WIN32
#include "Platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace volcore::tool::platform {
namespace {

// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kTicksPerSecond = 10'000'000;

// Process-wide: a signal handler reaches nothing else.
volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

uint64_t TicksOf(const struct timespec& time) {
    const int64_t ticks = static_cast<int64_t>(time.tv_sec) * kTicksPerSecond + time.tv_nsec / 100 + kUnixEpochTicks;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

struct timespec TimespecOf(uint64_t ticks) {
    const int64_t sinceUnix = static_cast<int64_t>(ticks) - kUnixEpochTicks;
    int64_t seconds = sinceUnix / kTicksPerSecond, rest = sinceUnix % kTicksPerSecond;
    if (rest < 0) rest += kTicksPerSecond, --seconds;
    struct timespec time {};
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(rest * 100);
    return time;
}

CImageFile::~CImageFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CImageFile::Open(const std::filesystem::path& path, EAccess access, std::string& error) {
    const int flags = access == EAccess::Read ? O_RDONLY : access == EAccess::Write ? O_RDWR : O_RDWR | O_CREAT;
    m_fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    struct stat info {};
    if (m_fd >= 0 && ::fstat(m_fd, &info) == 0) {
        m_blockDevice = S_ISBLK(info.st_mode);
        m_writable = access != EAccess::Read;
        if (S_ISREG(info.st_mode)) {
            m_size = static_cast<uint64_t>(info.st_size);
            return true;
        }
        if (m_blockDevice && ::ioctl(m_fd, BLKGETSIZE64, &m_size) == 0) return true;
        if (!m_blockDevice) errno = 0;
    }
    error = errno == 0 ? "not a regular file or block device" : LastErrorText();
    return false;
}

ELockResult CImageFile::Lock(bool exclusive) {
    if (::flock(m_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return ELockResult::Held;
    return errno == EWOULDBLOCK ? ELockResult::Busy : ELockResult::Failed;
}

bool CImageFile::Grow(uint64_t size, std::string& error) {
    if (m_blockDevice || size <= m_size) return true;
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        error = LastErrorText();
        return false;
    }
    m_size = size;
    return true;
}

bool CImageFile::ReadAt(uint64_t position, void* buffer, uint64_t length) const {
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        ssize_t got = ::pread(m_fd, bytes, length, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got, position += static_cast<uint64_t>(got), length -= static_cast<uint64_t>(got);
    }
    return true;
}

bool CImageFile::WriteAt(uint64_t position, const void* buffer, uint64_t length) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (length > 0) {
        ssize_t put = ::pwrite(m_fd, bytes, length, static_cast<off_t>(position));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put, position += static_cast<uint64_t>(put), length -= static_cast<uint64_t>(put);
    }
    return true;
}

bool CImageFile::Sync() { return m_fd < 0 || !m_writable || ::fsync(m_fd) == 0 || errno == EINVAL; }

std::vector<std::string> CommandArguments(int argc, char** argv) { return {argv + std::min(argc, 1), argv + argc}; }

bool IsSafeHostName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string LastErrorText() { return std::strerror(errno); }

void BinaryStandardOutput() {}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void HostDataRange(std::FILE* file, uint64_t offset, uint64_t size, uint64_t& start, uint64_t& length) {
    start = offset;
    length = size - offset;
    // The stream reads on from the descriptor's position: it goes back there.
    const int descriptor = ::fileno(file);
    const off_t position = ::lseek(descriptor, 0, SEEK_CUR);
    if (position < 0) return;
    const off_t data = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
    const off_t hole = data < 0 ? data : ::lseek(descriptor, data, SEEK_HOLE);
    if (data < 0 && errno == ENXIO) start = size, length = 0;
    if (data >= 0 && hole >= data && static_cast<uint64_t>(data) < size) {
        start = static_cast<uint64_t>(data);
        length = std::min<uint64_t>(static_cast<uint64_t>(hole), size) - start;
    }
    ::lseek(descriptor, position, SEEK_SET);
}

bool SeekHostFile(std::FILE* file, uint64_t offset) { return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0; }

bool EndHostFileAt(std::FILE* file, uint64_t size) {
    return std::fflush(file) == 0 && ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}

uint64_t HostBytesHeld(const std::filesystem::path& path, uint64_t size) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_blocks < 0) return size;
    return std::min<uint64_t>(size, static_cast<uint64_t>(info.st_blocks) * 512);
}

bool ReadHostTimes(const std::filesystem::path& path, SHostTimes& times) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    times.lastWrite = TicksOf(info.st_mtim);
    times.lastAccess = TicksOf(info.st_atim);
    return true;
}

bool WriteHostTimes(const std::filesystem::path& path, const SHostTimes& times) {
    const struct timespec both[2] = {TimespecOf(times.lastAccess), TimespecOf(times.lastWrite)};
    return ::utimensat(AT_FDCWD, path.c_str(), both, 0) == 0;
}

bool WriteHostAttribute(const std::filesystem::path& path, const std::string& name, const std::vector<char>& value) {
    return ::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

CInterruptGuard::CInterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

CInterruptGuard::~CInterruptGuard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool Interrupted() { return g_interrupted != 0; }

}  // namespace volcore::tool::platform
#endif

#include "BenchSupport.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOLKIT_BENCH_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VOLKIT_BENCH_SANITIZED 1
#endif

namespace volcore::bench {

namespace {

std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};

void Count(int64_t delta) {
    int64_t now = g_inUse.fetch_add(delta, std::memory_order_relaxed) + delta;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

std::string TempPath(const char* stem, const std::string& directory = {}) {
    std::filesystem::path folder = directory.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(directory);
    return (folder / (std::string(stem) + std::to_string(getpid()) + ".img")).string();
}

void Format(const std::string& path, uint64_t size) {
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
    std::string command = "mkntfs -F -Q -q -c 4096 '" + path + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("mkntfs failed on " + path);
}

}  // namespace

bool QuickRun() {
    const char* quick = std::getenv("VOLKIT_BENCH_QUICK");
    return quick != nullptr && *quick != '\0' && *quick != '0';
}

uint64_t Scaled(uint64_t full, uint64_t quick) { return QuickRun() ? quick : full; }

SMemoryImage MakeMemoryImage(uint64_t size) {
    const std::string path = TempPath("volkit-bench-");
    Format(path, size);
    SMemoryImage image;
    image.bytes.resize(size);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(image.bytes.data()), static_cast<std::streamsize>(size));
    std::filesystem::remove(path);
    if (!in) throw std::runtime_error("cannot read back the image");
    return image;
}

void SaveImage(const SMemoryImage& image, const std::string& path) {
    constexpr size_t kPage = 4096;
    const std::string partial = path + ".part";
    std::filesystem::remove(partial);
    int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool good = fd >= 0 && ftruncate(fd, static_cast<off_t>(image.bytes.size())) == 0;
    static const std::vector<uint8_t> zeros(kPage);
    for (size_t at = 0; good && at < image.bytes.size(); at += kPage) {
        size_t length = std::min(kPage, image.bytes.size() - at);
        if (std::memcmp(image.bytes.data() + at, zeros.data(), length) == 0) continue;
        good = pwrite(fd, image.bytes.data() + at, length, static_cast<off_t>(at)) == static_cast<ssize_t>(length);
    }
    if (fd >= 0) close(fd);
    if (!good) throw std::runtime_error("cannot write " + partial);
    std::filesystem::rename(partial, path);
}

bool LoadImage(SMemoryImage& image, const std::string& path) {
    std::error_code error;
    uint64_t size = std::filesystem::file_size(path, error);
    if (error) return false;
    image.bytes.resize(size);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(image.bytes.data()), static_cast<std::streamsize>(size));
    return static_cast<bool>(in);
}

CSparseImage::CSparseImage(uint64_t size, const std::string& directory)
    : m_path(TempPath("volkit-bench-sparse-", directory)) {
    Format(m_path, size);
}

CSparseImage::~CSparseImage() { std::filesystem::remove(m_path); }

CHeapPeak::CHeapPeak() : m_start(static_cast<uint64_t>(std::max<int64_t>(0, g_inUse.load()))) {
    g_peak.store(g_inUse.load());
}

uint64_t CHeapPeak::Above() const {
    int64_t peak = g_peak.load();
    return peak > static_cast<int64_t>(m_start) ? static_cast<uint64_t>(peak) - m_start : 0;
}

bool CHeapPeak::Counting() {
#ifdef VOLKIT_BENCH_SANITIZED
    return false;
#else
    return true;
#endif
}

std::map<std::string, std::map<std::string, CResults::SFigure>>& CResults::Table() {
    static std::map<std::string, std::map<std::string, SFigure>> table;
    return table;
}

std::vector<std::string>& CResults::Order() {
    static std::vector<std::string> order;
    return order;
}

void CResults::Record(const std::string& workload, const std::string& engine, double secondsPerIteration,
                      uint64_t peakBytes, double cpuSeconds, uint64_t entries) {
    if (!Table().count(workload)) Order().push_back(workload);
    Table()[workload][engine] = SFigure{secondsPerIteration, peakBytes, cpuSeconds, entries};
}

double CResults::RatioToNtfs3g(const std::string& workload, double secondsPerIteration) {
    auto row = Table().find(workload);
    if (row == Table().end() || !row->second.count("libntfs-3g") || secondsPerIteration <= 0) return 0;
    return row->second.at("libntfs-3g").seconds / secondsPerIteration;
}

void CResults::PrintTable() {
    auto cell = [](const std::map<std::string, SFigure>& row, const char* engine) {
        auto found = row.find(engine);
        if (found == row.end()) return std::string("-");
        char text[160];
        const SFigure& figure = found->second;
        auto ms = [](double seconds) { return seconds * 1e3; };
        int used = std::snprintf(text, sizeof text, figure.seconds < 1e-3 ? "%.4f ms" : "%.1f ms", ms(figure.seconds));
        if (figure.cpuSeconds > 0)
            used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used),
                                  figure.cpuSeconds < 1e-3 ? " (cpu %.4f)" : " (cpu %.1f)", ms(figure.cpuSeconds));
        used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used), ", %.1f MiB",
                              static_cast<double>(figure.peakBytes) / (1 << 20));
        // Per entry, so that rows of different sizes compare (flat or not).
        if (figure.entries > 0) {
            double each = static_cast<double>(figure.entries);
            std::snprintf(text + used, sizeof text - static_cast<size_t>(used), "; %.0f ns/entry (cpu %.0f)",
                          figure.seconds * 1e9 / each, figure.cpuSeconds * 1e9 / each);
        }
        return std::string(text);
    };
    std::printf("\n| Workload | native | libntfs-3g | filesystem family | libntfs-3g / native | same, cpu |\n"
                "|---|---|---|---|---|---|\n");
    for (const std::string& workload : Order()) {
        const auto& row = Table().at(workload);
        double ratio = row.count("native") ? RatioToNtfs3g(workload, row.at("native").seconds) : 0;
        double cpuRatio = 0;
        if (row.count("native") && row.count("libntfs-3g") && row.at("native").cpuSeconds > 0)
            cpuRatio = row.at("libntfs-3g").cpuSeconds / row.at("native").cpuSeconds;
        std::printf("| %s | %s | %s | %s | %.2f | %.2f |\n", workload.c_str(), cell(row, "native").c_str(),
                    cell(row, "libntfs-3g").c_str(), cell(row, "family").c_str(), ratio, cpuRatio);
    }
}

}  // namespace volcore::bench

#ifndef VOLKIT_BENCH_SANITIZED
// The C library's allocator with a byte count in front of it.
extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    if (block) volcore::bench::Count(static_cast<int64_t>(malloc_usable_size(block)));
    return block;
}

void free(void* block) {
    if (block) volcore::bench::Count(-static_cast<int64_t>(malloc_usable_size(block)));
    __libc_free(block);
}

void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    if (block) volcore::bench::Count(static_cast<int64_t>(malloc_usable_size(block)));
    return block;
}

void* realloc(void* block, size_t size) {
    int64_t before = block ? static_cast<int64_t>(malloc_usable_size(block)) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved) volcore::bench::Count(static_cast<int64_t>(malloc_usable_size(moved)) - before);
    else if (size == 0) volcore::bench::Count(-before);
    return moved;
}

void* memalign(size_t alignment, size_t size) {
    void* block = __libc_memalign(alignment, size);
    if (block) volcore::bench::Count(static_cast<int64_t>(malloc_usable_size(block)));
    return block;
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** result, size_t alignment, size_t size) {
    void* block = memalign(alignment, size);
    if (!block) return ENOMEM;
    *result = block;
    return 0;
}
}
#endif

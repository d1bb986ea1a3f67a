#pragma once
// What the side-by-side benchmark needs around the engines: volume images in
// memory or in sparse files, made with mkntfs; a heap counter for peak memory;
// the per-workload timings the ratios are computed from; and the scale switch.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace volcore::bench {

// VOLKIT_BENCH_QUICK=1 in the environment shrinks every workload so that the
// whole suite runs in seconds; the figures are then only a smoke test.
bool QuickRun();
// `full` entries, or `quick` ones in a quick run.
uint64_t Scaled(uint64_t full, uint64_t quick);

// A volume held in memory; every engine reads and writes these bytes.
struct SMemoryImage {
    std::vector<uint8_t> bytes;
};

// A fresh mkntfs volume of `size` bytes in memory (4 KiB clusters).
SMemoryImage MakeMemoryImage(uint64_t size);

// Writes the image to `path` as a sparse file (zero 4 KiB pages become holes)
// and reads it back: large images survive between runs in /dev/shm that way.
void SaveImage(const SMemoryImage& image, const std::string& path);
bool LoadImage(SMemoryImage& image, const std::string& path);

// A sparse file formatted with mkntfs, removed on destruction; in
// `directory` (the system's temporary one by default).
class CSparseImage {
public:
    explicit CSparseImage(uint64_t size, const std::string& directory = {});
    ~CSparseImage();
    CSparseImage(const CSparseImage&) = delete;
    CSparseImage& operator=(const CSparseImage&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Heap bytes in use and their high-water mark, counted by the allocator
// functions this program puts in front of the C library's (all of libntfs-3g's
// and the engine's allocations go through them).
class CHeapPeak {
public:
    CHeapPeak();                 // starts a measurement at the current use
    uint64_t Above() const;      // peak since then minus the use at the start
    static bool Counting();      // false where a sanitizer owns the allocator

private:
    uint64_t m_start;
};

// Time per iteration of each engine on each workload, so that later engines
// can report their ratio against libntfs-3g, and a closing table.
class CResults {
public:
    // `cpuSeconds` is the processor time per iteration where it was measured.
    // `entries` per iteration, where the row reports a cost per entry.
    static void Record(const std::string& workload, const std::string& engine, double secondsPerIteration,
                       uint64_t peakBytes, double cpuSeconds = 0, uint64_t entries = 0);
    // libntfs-3g's time divided by `engine`'s: above 1 the engine is faster. 0 when not known.
    static double RatioToNtfs3g(const std::string& workload, double secondsPerIteration);
    static void PrintTable();

private:
    struct SFigure {
        double seconds = 0;
        uint64_t peakBytes = 0;
        double cpuSeconds = 0;
        uint64_t entries = 0;
    };
    static std::map<std::string, std::map<std::string, SFigure>>& Table();
    static std::vector<std::string>& Order();
};

}  // namespace volcore::bench

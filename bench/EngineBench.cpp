// The native engine, libntfs-3g called directly and the filesystem family side
// by side over the same volumes, made with mkntfs and filled through
// libntfs-3g (or through the native engine where a row says so). For each
// workload the engines run one after the other, libntfs-3g first, so that the
// others can report their ratio to it (x_ntfs3g above 1: faster than
// libntfs-3g). Only the work itself is timed and counted for memory; every
// workload checks what it did (bytes read back, entries counted) outside the
// clock. VOLKIT_BENCH_QUICK=1 shrinks the sizes for a smoke run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>

#include "BenchSupport.h"
#include "ColdBench.h"
#include "Engines.h"
#include "Workloads.h"

using namespace volcore::bench;

namespace {

const std::vector<EEngine> kEngines = {EEngine::Ntfs3g, EEngine::Native, EEngine::Family};
// The scale rows leave out the filesystem family: over libntfs-3g it adds
// nothing at that size but minutes.
const std::vector<EEngine> kScaleEngines = {EEngine::Ntfs3g, EEngine::Native};

// This thread's processor time: on a shared machine the clock on the wall
// also counts the time other processes had the processor.
double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Times the part of each iteration between Begin and End, and the heap peak
// above what was in use at Begin.
class CRun {
public:
    CRun(benchmark::State& state, std::string workload, IEngine& engine)
        : m_state(state), m_workload(std::move(workload)), m_engine(engine) {}

    void Begin() {
        m_heap = CHeapPeak();
        m_cpuStart = ThreadCpuSeconds();
        m_start = std::chrono::steady_clock::now();
    }
    void End() {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        m_cpuSeconds += ThreadCpuSeconds() - m_cpuStart;
        m_state.SetIterationTime(seconds);
        m_seconds += seconds;
        m_peak = std::max(m_peak, m_heap.Above());
        ++m_timed;
    }
    void Finish() {
        if (m_timed == 0) return;
        double perIteration = m_seconds / static_cast<double>(m_timed);
        double cpuPerIteration = m_cpuSeconds / static_cast<double>(m_timed);
        CResults::Record(m_workload, m_engine.Name(), perIteration, m_peak, cpuPerIteration, m_entries);
        m_state.counters["cpu_ms"] = cpuPerIteration * 1e3;
        if (m_entries > 0) m_state.counters["ns_entry"] = perIteration * 1e9 / static_cast<double>(m_entries);
        if (CHeapPeak::Counting()) m_state.counters["peak_MiB"] = static_cast<double>(m_peak) / (1 << 20);
        if (double ratio = CResults::RatioToNtfs3g(m_workload, perIteration); ratio > 0)
            m_state.counters["x_ntfs3g"] = ratio;
    }
    IEngine& Engine() { return m_engine; }
    benchmark::State& State() { return m_state; }
    // Entries one iteration handles, for the cost per entry.
    void SetEntries(uint64_t entries) { m_entries = entries; }

private:
    benchmark::State& m_state;
    std::string m_workload;
    IEngine& m_engine;
    CHeapPeak m_heap;
    std::chrono::steady_clock::time_point m_start;
    double m_cpuStart = 0;
    double m_cpuSeconds = 0;
    double m_seconds = 0;
    uint64_t m_peak = 0;
    uint64_t m_timed = 0;
    uint64_t m_entries = 0;
};

// Images made once and shared by the engines of a workload; the two most
// recent are kept.
SMemoryImage& SharedImage(const std::string& key, const std::function<SMemoryImage()>& make) {
    static std::vector<std::pair<std::string, SMemoryImage>> images;
    for (auto& [name, image] : images)
        if (name == key) return image;
    if (images.size() == 2) images.erase(images.begin());
    images.emplace_back(key, make());
    return images.back().second;
}

SMemoryImage& DataImage() { return SharedImage("data", MakeDataImage); }

SMemoryImage& BigRootImage(EEngine writer) {
    return SharedImage(writer == EEngine::Native ? "big-native" : "big-ntfs3g",
                       [writer] { return MakeBigRootImage(writer); });
}

void ReadSequentially(CRun& run, uint32_t chunk) {
    IEngine& engine = run.Engine();
    engine.Mount(DataImage());
    void* file = engine.OpenFile(SPath("/data"));
    const std::vector<uint8_t> expected = Pattern(FileBytes());
    std::vector<uint8_t> buffer(FileBytes());
    for (auto _ : run.State()) {
        std::memset(buffer.data(), 0, buffer.size());
        run.Begin();
        for (uint64_t offset = 0; offset < buffer.size(); offset += chunk)
            engine.Read(file, offset, buffer.data() + offset, chunk);
        run.End();
        Check(buffer == expected, "bytes read equal bytes written");
    }
    engine.CloseFile(file);
    engine.Unmount();
}

void WriteExtending(CRun& run, uint32_t chunk) {
    IEngine& engine = run.Engine();
    SMemoryImage image = MakeMemoryImage(ImageSizeFor(0, FileBytes()));
    engine.Mount(image);
    void* file = engine.CreateFile(SPath("/written"));
    const std::vector<uint8_t> bytes = Pattern(FileBytes());
    std::vector<uint8_t> back(bytes.size());
    for (auto _ : run.State()) {
        run.Begin();
        for (uint64_t offset = 0; offset < bytes.size(); offset += chunk)
            engine.Append(file, offset, bytes.data() + offset, chunk);
        run.End();
        for (uint64_t offset = 0; offset < back.size(); offset += 1 << 20)
            engine.Read(file, offset, back.data() + offset, static_cast<uint32_t>(std::min<uint64_t>(1 << 20, back.size() - offset)));
        Check(back == bytes, "bytes read equal bytes written");
        engine.Truncate(file);
    }
    engine.CloseFile(file);
    engine.Unmount();
}

void CreateInOneDirectory(CRun& run, uint64_t count) {
    IEngine& engine = run.Engine();
    run.SetEntries(count);
    SMemoryImage& pristine =
        SharedImage("empty-" + std::to_string(count), [count] { return MakeMemoryImage(ImageSizeFor(count, 0)); });
    const std::vector<SPath> paths = NumberedPaths("/d/", "n", count);
    for (auto _ : run.State()) {
        SMemoryImage image = pristine;
        engine.Mount(image);
        run.Begin();
        engine.CreateDirectory(SPath("/d"));
        CreateAll(engine, paths);
        engine.Unmount();
        run.End();
        uint64_t listed = 0;
        try {
            FillWith(image, [&](IEngine& checker) { listed = checker.CountEntries(SPath("/d")); });
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("libntfs-3g cannot list the volume written: ") + e.what());
        }
        Check(listed == count, "every created file is listed");
    }
}

void OpenDeepPath(CRun& run) {
    SMemoryImage& image = SharedImage("deep", MakeDeepImage);
    const SPath path(DeepPath());
    // A batch per iteration: one open + close takes about as long as reading
    // the processor clock around it.
    constexpr uint64_t kOpensPerIteration = 1000;
    IEngine& engine = run.Engine();
    run.SetEntries(kOpensPerIteration);
    engine.Mount(image);
    for (auto _ : run.State()) {
        run.Begin();
        for (uint64_t i = 0; i < kOpensPerIteration; ++i) engine.CloseFile(engine.OpenFile(path));
        run.End();
    }
    engine.Unmount();
}

void OpenRandomFiles(CRun& run, SMemoryImage& image, uint64_t count) {
    constexpr uint64_t kOpensPerIteration = 1000;
    IEngine& engine = run.Engine();
    run.SetEntries(kOpensPerIteration);
    engine.Mount(image);
    const std::vector<SPath> paths = NumberedPaths("/", "f", count);
    uint64_t seed = 12345;
    for (auto _ : run.State()) {
        run.Begin();
        for (uint64_t i = 0; i < kOpensPerIteration; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            engine.CloseFile(engine.OpenFile(paths[(seed >> 33) % paths.size()]));
        }
        run.End();
    }
    engine.Unmount();
}

void EnumerateRoot(CRun& run, SMemoryImage& image, uint64_t count, EListing listing) {
    IEngine& engine = run.Engine();
    run.SetEntries(count);
    for (auto _ : run.State()) {
        engine.Mount(image);
        run.Begin();
        uint64_t listed = engine.CountEntries(SPath("/"), listing);
        run.End();
        engine.Unmount();
        Check(listed == count + FreshRootEntries(), "every entry is listed once");
    }
}

void OpenCloseBigRoot(CRun& run) {
    IEngine& engine = run.Engine();
    SMemoryImage& image = BigRootImage(EEngine::Ntfs3g);
    for (auto _ : run.State()) {
        run.Begin();
        engine.Mount(image);
        engine.Unmount();
        run.End();
    }
}

void OpenCloseFileVolume(CRun& run, CSparseImage& image) {
    IEngine& engine = run.Engine();
    for (auto _ : run.State()) {
        run.Begin();
        engine.MountFile(image.Path());
        engine.Unmount();
        run.End();
    }
}

// One file in the big root and one in each of 150 other directories per
// iteration: more directories than any cache of recent ones holds.
void Churn(CRun& run) {
    constexpr uint64_t kDirectories = kChurnDirectories;
    IEngine& engine = run.Engine();
    SMemoryImage image = SharedImage("churn", MakeChurnImage);
    engine.Mount(image);
    uint64_t round = 0;
    for (auto _ : run.State()) {
        std::vector<SPath> paths{SPath(Numbered("/g", round))};
        for (uint64_t i = 0; i < kDirectories; ++i) paths.emplace_back(Numbered("/c", i) + Numbered("/g", round));
        run.Begin();
        CreateAll(engine, paths);
        run.End();
        ++round;
    }
    engine.Unmount();
    uint64_t inLast = 0;
    FillWith(image, [&](IEngine& checker) { inLast = checker.CountEntries(SPath(Numbered("/c", kDirectories - 1))); });
    Check(inLast == round, "every churned file is listed");
}

void Register(const std::string& workload, std::function<void(CRun&)> body, int iterations = 0,
              const std::vector<EEngine>& engines = kEngines) {
    for (EEngine kind : engines) {
        auto* registered = benchmark::RegisterBenchmark(
            (workload + "/" + MakeEngine(kind)->Name()).c_str(), [=](benchmark::State& state) {
                auto engine = MakeEngine(kind);
                CRun run(state, workload, *engine);
                try {
                    body(run);
                } catch (const std::exception& e) {
                    // The time stays in the table when only the check after
                    // it failed; the error line says what went wrong.
                    run.Finish();
                    state.SkipWithError(e.what());
                    return;
                }
                run.Finish();
            });
        registered->UseManualTime()->Unit(benchmark::kMillisecond);
        if (iterations > 0) registered->Iterations(iterations);
    }
}

const char* ListingName(EListing listing) {
    return listing == EListing::Names ? ", names" : ", with sizes and times";
}

// A directory ten times the big root's size, so that the cost per entry shows
// whether it stays flat, and a volume at the largest size 4 KiB clusters
// address: its open must not grow with the volume.
void RegisterScaleWorkloads() {
    const uint64_t count = ScaleCount();
    const std::string entries = std::to_string(count);
    Register("scale: create " + entries + " files in one directory + close",
             [count](CRun& run) { CreateInOneDirectory(run, count); }, 1, kScaleEngines);
    auto image = [] { return LoadOrMakeScaleImage(EEngine::Ntfs3g); };
    for (EListing listing : {EListing::Names, EListing::Details})
        Register("scale: enumerate " + entries + " entries" + ListingName(listing),
                 [=](CRun& run) { EnumerateRoot(run, SharedImage("scale", image), count, listing); }, 3,
                 kScaleEngines);
    Register("scale: open 1000 random files of " + entries,
             [=](CRun& run) { OpenRandomFiles(run, SharedImage("scale", image), count); }, 5, kScaleEngines);
    Register("scale: open + close a 16 TiB volume (file device in /dev/shm)",
             [](CRun& run) {
                 static CSparseImage huge(kScaleVolumeBytes, "/dev/shm");
                 OpenCloseFileVolume(run, huge);
             },
             3, kScaleEngines);
}

void RegisterWorkloads() {
    const std::string size = std::to_string(FileBytes() >> 20) + " MiB";
    const std::string big = std::to_string(BigCount());
    Register("read " + size + " in 1 MiB chunks", [](CRun& run) { ReadSequentially(run, 1 << 20); });
    Register("read " + size + " in 4 KiB chunks", [](CRun& run) { ReadSequentially(run, 4096); });
    Register("extending write of " + size + " in 1 MiB chunks", [](CRun& run) { WriteExtending(run, 1 << 20); }, 5);
    Register("extending write of " + size + " in 4 KiB chunks", [](CRun& run) { WriteExtending(run, 4096); }, 5);
    for (uint64_t count : {uint64_t{1000}, uint64_t{10000}, BigCount()}) {
        if (count > BigCount()) continue;
        Register("create " + std::to_string(count) + " files in one directory + close",
                 [count](CRun& run) { CreateInOneDirectory(run, count); }, count >= 10000 ? 2 : 10);
    }
    Register("open a 32-deep path", OpenDeepPath);
    for (EEngine writer : {EEngine::Ntfs3g, EEngine::Native}) {
        const std::string by = writer == EEngine::Native ? "native" : "libntfs-3g";
        Register("open 1000 random files of " + big + " written by " + by,
                 [writer](CRun& run) { OpenRandomFiles(run, BigRootImage(writer), BigCount()); }, 5);
        for (EListing listing : {EListing::Names, EListing::Details})
            Register("enumerate " + big + " entries written by " + by + ListingName(listing),
                     [writer, listing](CRun& run) { EnumerateRoot(run, BigRootImage(writer), BigCount(), listing); },
                     5);
    }
    Register("open + close a volume whose root holds " + big, OpenCloseBigRoot, 10);
    Register(std::string("open + close a ") + (QuickRun() ? "64 GiB" : "1 TiB") + " volume (file device)",
             [](CRun& run) {
                 static CSparseImage image(Scaled(1ull << 40, 64ull << 30));
                 OpenCloseFileVolume(run, image);
             },
             10);
    Register("churn: 1 file in the big root + 1 in each of 150 others", Churn, static_cast<int>(Scaled(20, 3)));
    if (ScaleCount() > 0) RegisterScaleWorkloads();
}

}  // namespace

// Our own options, taken out before Google Benchmark sees the rest:
// --warm-only and --cold-only pick one view, --cold-filter=TEXT the cold rows
// whose name holds TEXT; --cold-child is how the cold view starts itself.
// --benchmark_list_tests lists the cold rows too, with their numbers.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--cold-child") == 0) return RunColdChild(argc, argv);
    bool warm = true;
    bool cold = true;
    bool listOnly = false;
    std::string coldFilter;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--warm-only") == 0) cold = false;
        else if (std::strcmp(argv[i], "--cold-only") == 0) warm = false;
        else if (std::strncmp(argv[i], "--cold-filter=", 14) == 0) coldFilter = argv[i] + 14;
        else rest.push_back(argv[i]);
        listOnly |= std::strncmp(argv[i], "--benchmark_list_tests", 22) == 0 && std::strstr(argv[i], "=false") == nullptr;
    }
    int restCount = static_cast<int>(rest.size());
    if (warm) {
        RegisterWorkloads();
        benchmark::Initialize(&restCount, rest.data());
        if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
        benchmark::RunSpecifiedBenchmarks();
        if (!listOnly) CResults::PrintTable();
        benchmark::Shutdown();
    }
    if (cold && listOnly) ListColdRows(coldFilter);
    else if (cold) RunColdRows(std::filesystem::read_symlink("/proc/self/exe").c_str(), coldFilter);
    return 0;
}

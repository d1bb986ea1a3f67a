// Formatting large sparse images: Volkit's formatter (through the volkit tool)
// against mkntfs, each in a process of its own so that its peak memory is its
// own. Every run is checked: the command must succeed and leave a volume that
// ntfsfix -n accepts on the first iteration. Beside it, the formatter alone in
// this process: its own heap, apart from what the tool's start-up costs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "volkit/api.h"

namespace {

struct SChildRun {
    bool ok = false;
    double seconds = 0;
    long peakKib = 0;
};

SChildRun RunChild(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    SChildRun run;
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        run.peakKib = usage.ru_maxrss;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

void FormatSparse(benchmark::State& state, bool ours) {
    const uint64_t size = uint64_t{1} << state.range(0);
    double seconds = 0;
    const std::string image = (std::filesystem::temp_directory_path() / "volkit-format-bench.img").string();
    long peak = 0;
    bool checked = false;
    for (auto _ : state) {
        std::filesystem::remove(image);
        std::fclose(std::fopen(image.c_str(), "wb"));
        std::filesystem::resize_file(image, size);
        SChildRun run =
            ours ? RunChild({VOLKIT_TOOL_PATH, "mkfs", image}) : RunChild({"mkntfs", "-F", "-Q", "-q", image});
        if (!run.ok) state.SkipWithError("format failed");
        if (!checked && !RunChild({"ntfsfix", "-n", image}).ok) state.SkipWithError("ntfsfix refused the volume");
        checked = true;
        state.SetIterationTime(run.seconds);
        seconds += run.seconds;
        peak = std::max(peak, run.peakKib);
    }
    state.counters["peak_KiB"] = static_cast<double>(peak);
    const std::string workload = "format " + std::to_string(size >> 30) + " GiB (process peak RSS)";
    const double perIteration = seconds / static_cast<double>(std::max<int64_t>(1, state.iterations()));
    volcore::bench::CResults::Record(workload, ours ? "native" : "libntfs-3g", perIteration, uint64_t(peak) << 10);
    if (double ratio = volcore::bench::CResults::RatioToNtfs3g(workload, perIteration); ours && ratio > 0)
        state.counters["x_ntfs3g"] = ratio;
    std::filesystem::remove(image);
}

// A device of the given size that takes every byte and keeps none, so that
// only the formatter's own memory is counted.
volkit::api::NtfsIoDevice DiscardingDevice(const uint64_t& size) {
    volkit::api::NtfsIoDevice device;
    device.context = const_cast<uint64_t*>(&size);
    device.read = [](uint64_t, void* buffer, uint32_t length, void*) {
        std::memset(buffer, 0, length);
        return true;
    };
    device.write = [](uint64_t, const void*, uint32_t, void*) { return true; };
    device.getSize = [](uint64_t* out, void* context) {
        *out = *static_cast<const uint64_t*>(context);
        return true;
    };
    return device;
}

void BM_FormatInProcess(benchmark::State& state) {
    const uint64_t size = uint64_t{1} << state.range(0);
    const volkit::api::NtfsIoDevice device = DiscardingDevice(size);
    double seconds = 0;
    uint64_t peak = 0;
    for (auto _ : state) {
        volcore::bench::CHeapPeak heap;
        auto start = std::chrono::steady_clock::now();
        if (!volkit::api::NtfsFormatVolume(device, volkit::api::NtfsFormatOptions{})) state.SkipWithError("format failed");
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        peak = std::max(peak, heap.Above());
    }
    if (volcore::bench::CHeapPeak::Counting()) state.counters["peak_KiB"] = static_cast<double>(peak) / 1024;
    const std::string workload = "format " + std::to_string(size >> 30) + " GiB in this process (formatter's heap)";
    const double perIteration = seconds / static_cast<double>(std::max<int64_t>(1, state.iterations()));
    volcore::bench::CResults::Record(workload, "native", perIteration, peak);
}

void BM_FormatVolkit(benchmark::State& state) { FormatSparse(state, true); }
void BM_FormatMkntfs(benchmark::State& state) { FormatSparse(state, false); }

// 64 GiB and 1 TiB (1 and 4 GiB in a quick run), mkntfs first so that the
// formatter can report its ratio to it.
const bool kRegistered = [] {
    for (int64_t shift : {volcore::bench::QuickRun() ? 30 : 36, volcore::bench::QuickRun() ? 32 : 40})
        for (auto* body : {&BM_FormatMkntfs, &BM_FormatVolkit})
            benchmark::RegisterBenchmark(body == &BM_FormatVolkit ? "format/native" : "format/mkntfs", body)
                ->Arg(shift)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
    for (int64_t shift : {volcore::bench::QuickRun() ? 30 : 36, volcore::bench::QuickRun() ? 32 : 40})
        benchmark::RegisterBenchmark("format/native-in-process", BM_FormatInProcess)
            ->Arg(shift)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
    return true;
}();

}  // namespace

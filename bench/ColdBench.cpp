// The cold view: every measurement in a process of its own, the way a
// `volkit` command or a short-lived caller meets an engine. The parent makes
// each image once and leaves it in /dev/shm; a child started from this same
// program reads it into memory (not timed), then times only the first call
// of the workload and prints its time and heap peak. Engines take turns
// within each round, in an order that rotates from round to round, and the
// table gives the medians: of each engine's times and of the paired ratios
// (libntfs-3g's time over the native engine's in the same round). With
// VOLKIT_BENCH_COLD_FAULTS set, a child also prints the page faults of its
// timed part to stderr (`volkit_bench --cold-child ROW ENGINE IMAGE` runs one).
#include "ColdBench.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

#include "BenchSupport.h"
#include "Engines.h"
#include "Workloads.h"

namespace volcore::bench {

namespace {

constexpr EEngine kEngines[] = {EEngine::Ntfs3g, EEngine::Native, EEngine::Family};
constexpr const char* kEngineNames[] = {"libntfs-3g", "native", "family"};

// Huge and Largest are sparse files the children open as files.
enum class EImage { Data, Empty, BigRoot, BigRootByNative, Deep, Churn, Huge, Largest, Scale };

bool IsFileDevice(EImage image) { return image == EImage::Huge || image == EImage::Largest; }

// What a child measures: between Begin and End, once.
class CStopwatch {
public:
    void Begin() {
        m_heap = CHeapPeak();
        m_faults = MinorFaults();
        m_cpu = CpuSeconds();
        m_start = std::chrono::steady_clock::now();
    }
    void End() {
        m_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        m_cpu = CpuSeconds() - m_cpu;
        m_peak = m_heap.Above();
        m_faults = MinorFaults() - m_faults;
    }
    void Print() const {
        std::printf("%.9f %.9f %llu\n", m_seconds, m_cpu, static_cast<unsigned long long>(m_peak));
        if (std::getenv("VOLKIT_BENCH_COLD_FAULTS")) std::fprintf(stderr, "page faults: %ld\n", m_faults);
    }

private:
    static double CpuSeconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }
    static long MinorFaults() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt + usage.ru_majflt;
    }
    CHeapPeak m_heap;
    long m_faults = 0;
    std::chrono::steady_clock::time_point m_start;
    double m_cpu = 0;
    double m_seconds = 0;
    uint64_t m_peak = 0;
};

struct SColdRow {
    std::string name;
    EImage image;
    std::function<void(IEngine&, SMemoryImage&, const std::string&, CStopwatch&)> measure;
};

uint64_t HugeBytes() { return Scaled(1ull << 40, 64ull << 30); }

void OpenClose(IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
    watch.Begin();
    engine.Mount(image);
    engine.Unmount();
    watch.End();
}

void OpenCloseFile(IEngine& engine, SMemoryImage&, const std::string& path, CStopwatch& watch) {
    watch.Begin();
    engine.MountFile(path);
    engine.Unmount();
    watch.End();
}

auto Enumerate(EListing listing) {
    return [listing](IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
        engine.Mount(image);
        watch.Begin();
        uint64_t listed = engine.CountEntries(SPath("/"), listing);
        watch.End();
        engine.Unmount();
        Check(listed >= BigCount(), "every entry is listed");
    };
}

auto Read(uint32_t chunk) {
    return [chunk](IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
        engine.Mount(image);
        std::vector<uint8_t> buffer(FileBytes());
        watch.Begin();
        void* file = engine.OpenFile(SPath("/data"));
        for (uint64_t offset = 0; offset < buffer.size(); offset += chunk)
            engine.Read(file, offset, buffer.data() + offset, chunk);
        watch.End();
        engine.CloseFile(file);
        engine.Unmount();
        Check(buffer == Pattern(FileBytes()), "bytes read equal bytes written");
    };
}

auto Write(uint32_t chunk) {
    return [chunk](IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
        const std::vector<uint8_t> bytes = Pattern(FileBytes());
        engine.Mount(image);
        watch.Begin();
        void* file = engine.CreateFile(SPath("/written"));
        for (uint64_t offset = 0; offset < bytes.size(); offset += chunk)
            engine.Append(file, offset, bytes.data() + offset, chunk);
        engine.CloseFile(file);
        engine.Unmount();
        watch.End();
    };
}

auto Create(uint64_t count) {
    return [count](IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
        const std::vector<SPath> paths = NumberedPaths("/d/", "n", count);
        engine.Mount(image);
        watch.Begin();
        engine.CreateDirectory(SPath("/d"));
        CreateAll(engine, paths);
        engine.Unmount();
        watch.End();
    };
}

void Churn(IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
    std::vector<SPath> paths{SPath("/g")};
    for (uint64_t i = 0; i < kChurnDirectories; ++i) paths.emplace_back(Numbered("/c", i) + "/g");
    engine.Mount(image);
    watch.Begin();
    CreateAll(engine, paths);
    watch.End();
    engine.Unmount();
}

void OpenDeep(IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
    const SPath path(DeepPath());
    engine.Mount(image);
    watch.Begin();
    engine.CloseFile(engine.OpenFile(path));
    watch.End();
    engine.Unmount();
}

auto OpenRandom(uint64_t count) {
    return [count](IEngine& engine, SMemoryImage& image, const std::string&, CStopwatch& watch) {
        constexpr uint64_t kOpens = 1000;
        const std::vector<SPath> paths = NumberedPaths("/", "f", count);
        engine.Mount(image);
        uint64_t seed = 12345;
        watch.Begin();
        for (uint64_t i = 0; i < kOpens; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            engine.CloseFile(engine.OpenFile(paths[(seed >> 33) % paths.size()]));
        }
        watch.End();
        engine.Unmount();
    };
}

const std::vector<SColdRow>& Rows() {
    static const std::vector<SColdRow> rows = [] {
        const std::string size = std::to_string(FileBytes() >> 20) + " MiB";
        const std::string big = std::to_string(BigCount());
        const std::string huge = QuickRun() ? "64 GiB" : "1 TiB";
        std::vector<SColdRow> rows{
            {"open + close a volume whose root holds " + big, EImage::BigRoot, OpenClose},
            {"open + close a " + huge + " volume (file device)", EImage::Huge, OpenCloseFile},
            {"first enumeration of " + big + " entries, names", EImage::BigRoot, Enumerate(EListing::Names)},
            {"first enumeration of " + big + " entries, with sizes and times", EImage::BigRoot,
             Enumerate(EListing::Details)},
            {"first enumeration of " + big + " entries written by native, names", EImage::BigRootByNative,
             Enumerate(EListing::Names)},
            {"open + read " + size + " in 1 MiB chunks", EImage::Data, Read(1 << 20)},
            {"open + read " + size + " in 4 KiB chunks", EImage::Data, Read(4096)},
            {"create + write " + size + " in 4 KiB chunks + close", EImage::Empty, Write(4096)},
            {"create 1 file in one directory + close", EImage::Empty, Create(1)},
            {"create 1000 files in one directory + close", EImage::Empty, Create(1000)},
            {"create " + std::to_string(Scaled(10000, 2000)) + " files in one directory + close", EImage::Empty,
             Create(Scaled(10000, 2000))},
            {"first open of a 32-deep path", EImage::Deep, OpenDeep},
            {"first 1000 opens of random files of " + big, EImage::BigRoot, OpenRandom(BigCount())},
            {"churn: 1 file in the big root + 1 in each of 150 others", EImage::Churn, Churn},
        };
        if (ScaleCount() > 0) {
            const std::string entries = std::to_string(ScaleCount());
            rows.push_back({"scale: open + close a 16 TiB volume (file device in /dev/shm)", EImage::Largest,
                            OpenCloseFile});
            rows.push_back({"scale: first enumeration of " + entries + " entries, names", EImage::Scale,
                            Enumerate(EListing::Names)});
            rows.push_back({"scale: first enumeration of " + entries + " entries, with sizes and times",
                            EImage::Scale, Enumerate(EListing::Details)});
            rows.push_back({"scale: first 1000 opens of random files of " + entries, EImage::Scale,
                            OpenRandom(ScaleCount())});
        }
        return rows;
    }();
    return rows;
}

std::string ImagePath(EImage image) {
    return "/dev/shm/volkit-cold-" + std::to_string(getpid()) + "-" +
           std::to_string(static_cast<int>(image)) + ".img";
}

// A run stopped by a signal leaves its images in /dev/shm (memory, gigabytes
// of it): the next run removes those whose process is gone.
void RemoveImagesOfEndedRuns() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string name = entry.path().filename().string();
        for (const char* stem : {"volkit-cold-", "volkit-bench-sparse-"}) {
            if (name.rfind(stem, 0) != 0) continue;
            const long pid = std::strtol(name.c_str() + std::strlen(stem), nullptr, 10);
            if (pid > 0 && pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                std::filesystem::remove(entry.path(), error);
        }
    }
}

// The parent's images, written once to /dev/shm (memory) for the children.
class CImageFiles {
public:
    ~CImageFiles() {
        for (auto& [kind, path] : m_paths) std::filesystem::remove(path);
    }
    const std::string& Get(EImage image) {
        auto found = m_paths.find(image);
        if (found != m_paths.end()) return found->second;
        if (auto kept = m_kept.find(image); kept != m_kept.end()) return kept->second;
        std::string path = ImagePath(image);
        if (image == EImage::Huge) {
            m_huge = std::make_unique<CSparseImage>(HugeBytes());
            path = m_huge->Path();
        } else if (image == EImage::Scale) {
            // Kept between runs; never removed here.
            return m_kept.emplace(image, ScaleImagePath(EEngine::Ntfs3g)).first->second;
        } else if (image == EImage::Largest) {
            m_largest = std::make_unique<CSparseImage>(kScaleVolumeBytes, "/dev/shm");
            path = m_largest->Path();
        } else {
            SMemoryImage made = Make(image);
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(made.bytes.data()), static_cast<std::streamsize>(made.bytes.size()));
            if (!out) throw std::runtime_error("cannot write " + path);
        }
        return m_paths.emplace(image, path).first->second;
    }

private:
    static SMemoryImage Make(EImage image) {
        switch (image) {
            case EImage::Data:
                return MakeDataImage();
            case EImage::Empty:
                return MakeMemoryImage(ImageSizeFor(10000, FileBytes()));
            case EImage::BigRoot:
                return MakeBigRootImage(EEngine::Ntfs3g);
            case EImage::BigRootByNative:
                return MakeBigRootImage(EEngine::Native);
            case EImage::Deep:
                return MakeDeepImage();
            case EImage::Churn:
            case EImage::Huge:
            case EImage::Largest:
            case EImage::Scale:
                break;
        }
        return MakeChurnImage();
    }
    std::map<EImage, std::string> m_paths;
    std::map<EImage, std::string> m_kept;
    std::unique_ptr<CSparseImage> m_huge;
    std::unique_ptr<CSparseImage> m_largest;
};

struct SSample {
    double seconds = 0;
    double cpu = 0;
    uint64_t peak = 0;
};

SSample RunChild(const char* self, size_t row, size_t engine, const std::string& image) {
    // Appended piece by piece: GCC 12 warns falsely about "'" + std::string.
    std::string command(1, '\'');
    command.append(self).append("' --cold-child ").append(std::to_string(row)).append(" ");
    command.append(std::to_string(engine)).append(" '").append(image).append("'");
    FILE* child = popen(command.c_str(), "r");
    if (!child) throw std::runtime_error("cannot start " + command);
    SSample sample;
    unsigned long long peak = 0;
    int read = std::fscanf(child, "%lf %lf %llu", &sample.seconds, &sample.cpu, &peak);
    sample.peak = peak;
    if (pclose(child) != 0 || read != 3) throw std::runtime_error("cold run failed: " + command);
    return sample;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::string Cell(const std::vector<SSample>& samples) {
    std::vector<double> seconds;
    std::vector<double> cpu;
    uint64_t peak = 0;
    for (const SSample& sample : samples) {
        seconds.push_back(sample.seconds);
        cpu.push_back(sample.cpu);
        peak = std::max(peak, sample.peak);
    }
    auto ms = [](double value) { return value * 1e3; };
    char text[96];
    double wall = Median(seconds);
    std::snprintf(text, sizeof text, wall < 1e-2 ? "%.3f ms (cpu %.3f), %.2f MiB" : "%.1f ms (cpu %.1f), %.2f MiB",
                  ms(wall), ms(Median(cpu)), static_cast<double>(peak) / (1 << 20));
    return text;
}

int Rounds() {
    const char* rounds = std::getenv("VOLKIT_BENCH_COLD_ROUNDS");
    int count = rounds ? std::atoi(rounds) : 0;
    return count > 0 ? count : static_cast<int>(Scaled(9, 3));
}

}  // namespace

int RunColdChild(int argc, char** argv) {
    if (argc != 5) return 2;
    const SColdRow& row = Rows().at(std::strtoul(argv[2], nullptr, 10));
    const size_t engine = std::strtoul(argv[3], nullptr, 10);
    const std::string path = argv[4];
    try {
        SMemoryImage image;
        if (!IsFileDevice(row.image)) {
            image.bytes.resize(std::filesystem::file_size(path));
            std::ifstream in(path, std::ios::binary);
            in.read(reinterpret_cast<char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
            if (!in) throw std::runtime_error("cannot read " + path);
        }
        auto measured = MakeEngine(kEngines[engine]);
        CStopwatch watch;
        row.measure(*measured, image, path, watch);
        watch.Print();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s/%s: %s\n", row.name.c_str(), kEngineNames[engine], e.what());
        return 1;
    }
}

// A row is picked by any part of its name; a number in the filter stands for
// itself only, so "files of 100000" leaves out the row of 1000000.
bool Picked(const std::string& name, const std::string& filter) {
    if (filter.empty()) return true;
    const bool endsInDigit = std::isdigit(static_cast<unsigned char>(filter.back())) != 0;
    for (size_t at = name.find(filter); at != std::string::npos; at = name.find(filter, at + 1)) {
        const size_t after = at + filter.size();
        if (!endsInDigit || after == name.size() || !std::isdigit(static_cast<unsigned char>(name[after])))
            return true;
    }
    return false;
}

void RunColdRows(const char* self, const std::string& filter) {
    const int rounds = Rounds();
    RemoveImagesOfEndedRuns();
    CImageFiles images;
    std::printf("\nCold: each figure a fresh process timing its first call; medians of %d interleaved rounds.\n"
                "| Workload (cold) | native | libntfs-3g | filesystem family | libntfs-3g / native (median of pairs) "
                "| same, cpu |\n"
                "|---|---|---|---|---|---|\n",
                rounds);
    std::fflush(stdout);
    for (size_t index = 0; index < Rows().size(); ++index) {
        const SColdRow& row = Rows()[index];
        if (!Picked(row.name, filter)) continue;
        try {
            const std::string& image = images.Get(row.image);
            std::vector<SSample> samples[3];
            std::vector<double> ratios;
            // Processor time as well: the wall clock also counts what the
            // machine's other processes took, in bursts a pair can straddle.
            std::vector<double> cpuRatios;
            for (int round = 0; round < rounds; ++round) {
                for (size_t turn = 0; turn < 3; ++turn) {
                    size_t engine = (turn + static_cast<size_t>(round)) % 3;
                    samples[engine].push_back(RunChild(self, index, engine, image));
                }
                ratios.push_back(samples[0].back().seconds / samples[1].back().seconds);
                if (samples[1].back().cpu > 0) cpuRatios.push_back(samples[0].back().cpu / samples[1].back().cpu);
            }
            std::printf("| %s | %s | %s | %s | %.2f | %.2f |\n", row.name.c_str(), Cell(samples[1]).c_str(),
                        Cell(samples[0]).c_str(), Cell(samples[2]).c_str(), Median(ratios),
                        cpuRatios.empty() ? 0.0 : Median(cpuRatios));
        } catch (const std::exception& e) {
            std::printf("| %s | failed: %s | | | | |\n", row.name.c_str(), e.what());
        }
        std::fflush(stdout);
    }
}

void ListColdRows(const std::string& filter) {
    for (size_t index = 0; index < Rows().size(); ++index)
        if (Picked(Rows()[index].name, filter))
            std::printf("cold %zu: %s\n", index, Rows()[index].name.c_str());
}

}  // namespace volcore::bench

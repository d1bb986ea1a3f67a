#include "Workloads.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace volcore::bench {

namespace {

uint8_t PatternByte(uint64_t offset) { return static_cast<uint8_t>((offset * 131 + (offset >> 12)) & 0xFF); }

}  // namespace

uint64_t FileBytes() { return Scaled(64ull << 20, 4ull << 20); }
uint64_t BigCount() { return Scaled(100000, 2000); }
uint64_t ScaleCount() {
    if (QuickRun()) return 0;
    const char* count = std::getenv("VOLKIT_BENCH_SCALE");
    return count && *count ? std::strtoull(count, nullptr, 10) : 1000000;
}

// A file record (1 KiB) and room for its index entry per entry; past 100,000
// entries 1.5 KiB each is enough and keeps the million-entry image at 1.6 GB.
uint64_t ImageSizeFor(uint64_t entries, uint64_t dataBytes) {
    uint64_t perEntry = entries > 100000 ? 1536 : 2048;
    return (64ull << 20) + entries * perEntry + 2 * dataBytes;
}

std::string Numbered(const char* prefix, uint64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%06llu", prefix, static_cast<unsigned long long>(number));
    return text;
}

std::vector<SPath> NumberedPaths(const std::string& directory, const char* prefix, uint64_t count) {
    std::vector<SPath> paths;
    paths.reserve(count);
    for (uint64_t i = 0; i < count; ++i) paths.emplace_back(directory + Numbered(prefix, i));
    return paths;
}

std::vector<uint8_t> Pattern(uint64_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint64_t i = 0; i < size; ++i) bytes[i] = PatternByte(i);
    return bytes;
}

std::string DeepPath() {
    std::string path;
    for (int i = 0; i < kDeepPathDepth; ++i) (path += '/') += Numbered("d", i);
    return path + "/leaf";
}

void CreateAll(IEngine& engine, const std::vector<SPath>& paths) {
    for (const SPath& path : paths) engine.CloseFile(engine.CreateFile(path));
}

void FillWith(SMemoryImage& image, const std::function<void(IEngine&)>& fill, EEngine writer) {
    auto engine = MakeEngine(writer);
    engine->Mount(image);
    fill(*engine);
    engine->Unmount();
}

void Check(bool good, const std::string& what) {
    if (!good) throw std::runtime_error("check failed: " + what);
}

uint64_t FreshRootEntries() {
    static uint64_t count = [] {
        SMemoryImage image = MakeMemoryImage(64ull << 20);
        uint64_t entries = 0;
        FillWith(image, [&](IEngine& engine) { entries = engine.CountEntries(SPath("/")); });
        return entries;
    }();
    return count;
}

SMemoryImage MakeDataImage() {
    SMemoryImage image = MakeMemoryImage(ImageSizeFor(0, FileBytes()));
    std::vector<uint8_t> bytes = Pattern(FileBytes());
    FillWith(image, [&](IEngine& engine) {
        void* file = engine.CreateFile(SPath("/data"));
        engine.Append(file, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
        engine.CloseFile(file);
    });
    return image;
}

SMemoryImage MakeRootImage(EEngine writer, uint64_t count) {
    SMemoryImage image = MakeMemoryImage(ImageSizeFor(count, 0));
    FillWith(image, [count](IEngine& engine) { CreateAll(engine, NumberedPaths("/", "f", count)); }, writer);
    return image;
}

SMemoryImage MakeBigRootImage(EEngine writer) { return MakeRootImage(writer, BigCount()); }

std::string ScaleImagePath(EEngine writer) {
    const std::string path = "/dev/shm/volkit-bench-scale-" + std::to_string(ScaleCount()) + "-" +
                             MakeEngine(writer)->Name() + ".img";
    if (!std::filesystem::exists(path)) SaveImage(MakeRootImage(writer, ScaleCount()), path);
    return path;
}

SMemoryImage LoadOrMakeScaleImage(EEngine writer) {
    SMemoryImage image;
    if (!LoadImage(image, ScaleImagePath(writer))) throw std::runtime_error("cannot read the scale image");
    return image;
}

SMemoryImage MakeDeepImage() {
    SMemoryImage image = MakeMemoryImage(64ull << 20);
    FillWith(image, [&](IEngine& engine) {
        std::string path;
        for (int i = 0; i < kDeepPathDepth; ++i) engine.CreateDirectory(SPath((path += '/') += Numbered("d", i)));
        engine.CloseFile(engine.CreateFile(SPath(path + "/leaf")));
    });
    return image;
}

SMemoryImage MakeChurnImage() {
    SMemoryImage image = MakeBigRootImage(EEngine::Ntfs3g);
    FillWith(image, [](IEngine& filler) {
        for (uint64_t i = 0; i < kChurnDirectories; ++i) filler.CreateDirectory(SPath(Numbered("/c", i)));
    });
    return image;
}

}  // namespace volcore::bench

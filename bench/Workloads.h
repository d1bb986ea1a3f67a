#pragma once
// What the warm suite (EngineBench.cpp) and the cold one (ColdBench.cpp)
// share: the sizes of the workloads, the paths they use and the volume images
// they run on, each made with mkntfs and filled through an engine.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Engines.h"

namespace volcore::bench {

uint64_t FileBytes();   // the file the read rows read
uint64_t BigCount();    // entries of the big root
// Entries of the scale rows' directory: 1,000,000, or VOLKIT_BENCH_SCALE.
// 0 in a quick run, where the scale rows stay out.
uint64_t ScaleCount();
constexpr uint64_t kScaleVolumeBytes = 16ull << 40;
constexpr int kDeepPathDepth = 32;
constexpr uint64_t kChurnDirectories = 150;

std::string Numbered(const char* prefix, uint64_t number);
std::vector<SPath> NumberedPaths(const std::string& directory, const char* prefix, uint64_t count);
std::vector<uint8_t> Pattern(uint64_t size);
std::string DeepPath();  // the leaf of the deep image
void CreateAll(IEngine& engine, const std::vector<SPath>& paths);
void FillWith(SMemoryImage& image, const std::function<void(IEngine&)>& fill, EEngine writer = EEngine::Ntfs3g);
void Check(bool good, const std::string& what);
// Entries a fresh root lists: the system files.
uint64_t FreshRootEntries();

uint64_t ImageSizeFor(uint64_t entries, uint64_t dataBytes);
SMemoryImage MakeDataImage();                    // /data: FileBytes() of Pattern
SMemoryImage MakeBigRootImage(EEngine writer);   // BigCount() files /f000000...
SMemoryImage MakeRootImage(EEngine writer, uint64_t count);  // count files /f000000...
// ScaleCount() files in the root, filled once through `writer` and kept in
// /dev/shm for the runs after (remove /dev/shm/volkit-bench-scale-* to make
// it again).
SMemoryImage LoadOrMakeScaleImage(EEngine writer);
// The same image's file, made first where it is missing.
std::string ScaleImagePath(EEngine writer);
SMemoryImage MakeDeepImage();                    // /d000000/.../d000031/leaf
SMemoryImage MakeChurnImage();                   // the big root and /c000000.../c000149

}  // namespace volcore::bench

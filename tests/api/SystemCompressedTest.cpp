// Files kept with Windows' system compression (WOF), built by libntfs-3g from
// chunks wimlib compressed (support/WofFiles.h): the handle family reads them
// byte for byte, lists their uncompressed sizes and refuses to change them.
#include <gtest/gtest.h>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "codec/Samples.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/WimCompressor.h"
#include "support/WofFiles.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

std::map<std::u16string, uint64_t> ListedSizes(NtfsVolumeHandle volume) {
    std::map<std::u16string, uint64_t> sizes;
    auto collect = [](const NtfsDirEntry& entry, void* context) {
        (*static_cast<std::map<std::u16string, uint64_t>*>(context))[volcore::WideToUtf16(entry.name)] = entry.dataSize;
        return true;
    };
    NtfsDirHandle dir;
    EXPECT_TRUE(NtfsOpenDir(L"wof", dir, volume) && NtfsEnumDir(dir, collect, &sizes) && NtfsCloseDir(dir));
    return sizes;
}

std::string FailureOfCall(const std::function<bool()>& call) {
    LogCapture log;
    EXPECT_FALSE(call());
    const auto errors = log.Errors();
    return errors.empty() ? std::string() : errors.back();
}

}  // namespace

TEST(SystemCompressed, ReadByteForByteAndRefuseChanges) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("wof.img");
    MakeNtfsImage(image, WithClusters(4096, 32ull << 20));

    std::map<std::u16string, Bytes> files;
    {
        Ntfs3gTree tree(image);
        tree.MakeDirectory(u"wof");
        for (const WofAlgorithm& algorithm : kWofAlgorithms) {
            const size_t chunk = algorithm.chunk;
            const std::pair<const char*, Bytes> contents[] = {
                {"text", TextSample(7 * chunk + 1000, algorithm.number)},
                {"code", CodeSample(3 * chunk)},
                {"random", Pattern(2 * chunk + 5, algorithm.number)},
                {"mixed", [&] {
                     Bytes mixed = TextSample(5 * chunk - 3, 20);
                     const Bytes noise = Pattern(chunk, 21);
                     std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(2 * chunk));
                     return mixed;
                 }()},
                {"short", TextSample(chunk / 2, 22)},
            };
            for (const auto& [kind, bytes] : contents) {
                const std::u16string path = u"wof\\" + U16(std::string(algorithm.name) + "-" + kind);
                MakeWofFile(tree, path, algorithm, bytes);
                files[path] = bytes;
            }
        }
        ASSERT_TRUE(tree.DataFlags(u"wof\\LZX-text") & 0x8000) << "the unnamed data should be sparse";
        // Backed by a WIM file elsewhere, and an algorithm that does not exist.
        MakeWofFile(tree, u"wof\\wimboot", Bytes(100, 1), WofReparse(1, 0), 5000);
        MakeWofFile(tree, u"wof\\unknown", Bytes(100, 1), WofReparse(2, 9), 5000);
        // A table entry pointing past the stream.
        Bytes damaged = WofStream(kWofAlgorithms[0], TextSample(3 * 4096, 30));
        damaged[7] = 0x7F;
        MakeWofFile(tree, u"wof\\damaged", damaged, WofReparse(2, 0), 3 * 4096);
    }

    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    const auto listed = ListedSizes(volume);
    for (const auto& [path, bytes] : files) {
        SCOPED_TRACE(Utf8(path));
        EXPECT_EQ(ReadThroughHandles(volume, path), bytes);
        EXPECT_EQ(ReadInPieces(volume, path, 3000), bytes);
        EXPECT_EQ(listed.at(path.substr(4)), bytes.size());
    }

    struct Refusal {
        const char16_t* path;
        const char* message;
    } refusals[] = {
        {u"wof\\wimboot", "is backed by a WIM file (WIMBoot)"},
        {u"wof\\unknown", "uses algorithm 9, which cannot be read"},
        {u"wof\\damaged", "chunk 1 lies at"},
    };
    for (const Refusal& refusal : refusals) {
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(refusal.path).c_str(), file, volume));
        unsigned long long size = 0;
        EXPECT_TRUE(NtfsGetFileSize(size, file));
        EXPECT_EQ(size, refusal.path == std::u16string(u"wof\\damaged") ? 3u * 4096 : 5000u);
        Bytes buffer(size);
        const std::string failure = FailureOfCall([&] { return NtfsReadFile(0, buffer.data(), static_cast<unsigned>(size), file); });
        EXPECT_NE(failure.find(refusal.message), std::string::npos) << failure;
        NtfsCloseFile(file);
    }

    NtfsFileHandle file;
    ASSERT_TRUE(NtfsOpenFile(L"wof\\LZX-text", file, volume));
    Bytes buffer(10, 7);
    for (const auto& change : std::vector<std::function<bool()>>{
             [&] { return NtfsWriteFile(0, buffer.data(), 10, file); }, [&] { return SetFileSize(10, file); }}) {
        const std::string failure = FailureOfCall(change);
        EXPECT_NE(failure.find("Windows' system compression (WOF) holds its data, which can only be read"), std::string::npos)
            << failure;
    }
    NtfsCloseFile(file);
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(device.Bytes(), ReadFileBytes(image)) << "a session that only reads and is refused wrote";
}

// Files kept with Windows' system compression (WOF), built by libntfs-3g from
// chunks wimlib compressed (support/WofFiles.h): the handle family reads them
// byte for byte, lists their uncompressed sizes, and refuses to change them.
#include <gtest/gtest.h>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "codec/Samples.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/WofFiles.h"

using namespace volkit::api;
using namespace volcore::test;

TEST(SystemCompressed, ReadByteForByteAndRefuseChanges) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("wof.img");
    MakeNtfsImage(image, WithClusters(4096, 32ull << 20));
    std::map<std::u16string, Bytes> files;
    {
        Ntfs3gTree tree(image);
        for (const WofAlgorithm& algorithm : kWofAlgorithms) {
            const size_t chunk = algorithm.chunk;
            Bytes mixed = TextSample(5 * chunk - 3, 20);  // a chunk of noise, stored as it is
            const Bytes noise = Pattern(chunk, 21);
            std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(2 * chunk));
            for (const Bytes& bytes : {TextSample(7 * chunk + 1000, 1), CodeSample(3 * chunk), mixed, TextSample(chunk / 2, 2)}) {
                const std::u16string name = U16(algorithm.name + std::to_string(files.size()));
                MakeWofFile(tree, name, algorithm, files[name] = bytes);
            }
        }
        ASSERT_TRUE(tree.DataFlags(u"LZX4") & 0x8000) << "the unnamed data should be sparse";
        MakeWofFile(tree, u"wimboot", Bytes(100, 1), WofReparse(1, 0), 5000);
        MakeWofFile(tree, u"unknown", Bytes(100, 1), WofReparse(2, 9), 5000);
        Bytes damaged = WofStream(kWofAlgorithms[0], TextSample(3 * 4096, 30));
        damaged[7] = 0x7F;  // the end of chunk 1 far past the stream
        MakeWofFile(tree, u"damaged", damaged, WofReparse(2, 0), 3 * 4096);
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    std::map<std::u16string, uint64_t> listed;
    NtfsDirHandle root;
    ASSERT_TRUE(NtfsOpenDir(L"", root, volume) && NtfsEnumDir(root, [](const NtfsDirEntry& entry, void* sizes) {
        (*static_cast<std::map<std::u16string, uint64_t>*>(sizes))[volcore::WideToUtf16(entry.name)] = entry.dataSize;
        return true;
    }, &listed) && NtfsCloseDir(root));
    // Refusals first: a change asked of a file no call has read yet must be refused too.
    const std::pair<const wchar_t*, const char*> refusals[] = {
        {L"wimboot", "is backed by a WIM file (WIMBoot)"},
        {L"unknown", "uses algorithm 9, which cannot be read"},
        {L"damaged", "chunk 1 lies at"},
        {L"LZX4", "Windows' system compression (WOF) holds its data, which can only be read"}};
    for (const auto& [path, message] : refusals) {
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsOpenFile(path, file, volume));
        Bytes buffer(5000);
        LogCapture log;
        const bool changes = path == std::wstring(L"LZX4");
        EXPECT_FALSE(changes ? NtfsWriteFile(0, buffer.data(), 10, file) || SetFileSize(10, file)
                             : NtfsReadFile(0, buffer.data(), 5000, file));
        const auto errors = log.Errors();
        EXPECT_TRUE(!errors.empty() && errors.back().find(message) != std::string::npos) << message;
        NtfsCloseFile(file);
    }
    for (const auto& [path, bytes] : files) {
        EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
        EXPECT_EQ(ReadThroughHandles(volume, path, 3000), bytes) << Utf8(path);
        EXPECT_EQ(listed[path], bytes.size()) << Utf8(path);
    }
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(device.Bytes(), ReadFileBytes(image)) << "a session that only reads and is refused wrote";
}

// From 4 GiB on the chunk table's entries are 8 bytes wide. Each row is one
// such file (its unnamed data sparse, so the image stays small) made of a few
// distinct chunks in turn: an entry read at the wrong width points into the
// wrong chunk. Ranges at the start, across the 4 GiB mark and at the end.
TEST(SystemCompressed, FilesAroundFourGiBReadTheirTableAtTheRightWidth) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    const WofAlgorithm& lzx = kWofAlgorithms[1];
    std::vector<Bytes> chunks;
    for (uint8_t period = 3; period < 8; ++period) {
        chunks.emplace_back(lzx.chunk);
        for (size_t i = 0; i < lzx.chunk; ++i) chunks.back()[i] = static_cast<uint8_t>(i % period * 37 + period);
    }
    auto expected = [&](uint64_t offset, size_t length) {
        Bytes bytes(length);
        for (size_t i = 0; i < length; ++i)
            bytes[i] = chunks[(offset + i) / lzx.chunk % chunks.size()][(offset + i) % lzx.chunk];
        return bytes;
    };
    constexpr uint64_t kFourGiB = uint64_t{1} << 32;
    const uint64_t sizes[] = {kFourGiB - 1, kFourGiB, kFourGiB + 100};
    TempDir dir;
    const std::string image = dir.File("huge.img");
    MakeNtfsImage(image, WithClusters(4096, 48ull << 20));
    {
        Ntfs3gTree tree(image);
        for (uint64_t size : sizes)
            MakeWofFile(tree, U16(std::to_string(size)), WofStreamOfRepeats(lzx, size, chunks), WofReparse(2, 1), size);
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (uint64_t size : sizes) {
        NtfsFileHandle file;
        unsigned long long reported = 0;
        ASSERT_TRUE(NtfsOpenFile(std::to_wstring(size).c_str(), file, volume));
        EXPECT_TRUE(NtfsGetFileSize(reported, file) && reported == size);
        for (uint64_t offset : {uint64_t{0}, kFourGiB - 70000, size - 70000}) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(100000, size - offset));
            Bytes read(length);
            EXPECT_TRUE(NtfsReadFile(offset, read.data(), static_cast<unsigned>(length), file));
            EXPECT_TRUE(read == expected(offset, length)) << size << " at " << offset;
        }
        EXPECT_TRUE(NtfsCloseFile(file));
    }
    EXPECT_TRUE(NtfsCloseVolume(volume));
}

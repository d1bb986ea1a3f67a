// Compressed and sparse files changed through the handle family, over two
// sessions with libntfs-3g reading and changing them between and after: our
// own files made compressed by their directory's flag, and files libntfs-3g
// wrote compressed or sparse. Every reader must agree with the model byte for
// byte, and our check and ntfsck must find the volume clean.
#include <gtest/gtest.h>

#include <iostream>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "codec/Samples.h"
#include "support/ImageEditor.h"
#include "support/MemoryDevice.h"
#include "base/Bytes.h"
#include "entries/RecordFormat.h"
#include "volume/BootSector.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

// A write of `length` bytes of one kind at `at` (growing the file first when
// it ends before), or a resize to `at`.
struct Change {
    enum Kind { Text, Noise, Zeros, Resize } kind;
    uint64_t at;
    uint64_t length = 0;
};

Bytes Contents(const Change& change, uint32_t seed) {
    const size_t length = static_cast<size_t>(change.length);
    if (change.kind == Change::Text) return TextSample(length, seed);
    if (change.kind == Change::Noise) return Pattern(length, seed);
    return Bytes(length, 0);
}

void ApplyToModel(Bytes& model, const Change& change, uint32_t seed) {
    if (change.kind == Change::Resize) return model.resize(static_cast<size_t>(change.at), 0);
    const Bytes bytes = Contents(change, seed);
    if (model.size() < change.at + bytes.size()) model.resize(static_cast<size_t>(change.at + bytes.size()), 0);
    std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<long>(change.at));
}

// In 4 KiB writes, as a copying program makes them.
bool ApplyThroughHandles(NtfsFileHandle file, const Change& change, uint32_t seed) {
    unsigned long long size = 0;
    if (!NtfsGetFileSize(size, file)) return false;
    if (change.kind == Change::Resize) return SetFileSize(change.at, file);
    const Bytes bytes = Contents(change, seed);
    if (size < change.at + bytes.size() && !SetFileSize(change.at + bytes.size(), file)) return false;
    for (size_t done = 0; done < bytes.size(); done += 4096) {
        const unsigned piece = static_cast<unsigned>(std::min<size_t>(4096, bytes.size() - done));
        if (!NtfsWriteFile(change.at + done, bytes.data() + done, piece, file)) return false;
    }
    return true;
}

struct FileCase {
    std::u16string path;
    bool theirs;  // libntfs-3g made it, compressed or sparse, before our first session
    std::vector<Change> first, second;  // our two sessions
};

constexpr uint64_t U = 16 * 4096;  // a compression unit with 4 KiB clusters

std::vector<FileCase> Cases() {
    using C = Change;
    return {
        {u"c\\text", false, {{C::Text, 0, 5 * U + 1234}}, {{C::Text, U - 100, 300}, {C::Resize, 2 * U + 7}}},
        {u"c\\noise", false, {{C::Noise, 0, 3 * U - 77}}, {{C::Text, U / 2, U}}},
        {u"c\\zeros", false, {{C::Zeros, 0, 4 * U}, {C::Text, 2 * U + 5, 100}}, {{C::Zeros, 2 * U, U}}},
        {u"c\\regrown", false, {{C::Text, 0, 3 * U}, {C::Resize, U + 100}, {C::Resize, 4 * U}, {C::Text, 3 * U + 10, 50}},
         {{C::Resize, 0}, {C::Text, 0, 3000}}},
        {u"c\\small", false, {{C::Text, 0, 300}}, {{C::Text, 200, 2 * U}}},
        {u"c\\theirs", true, {{C::Text, 2 * U - 10, 20}, {C::Noise, 4 * U, 100}}, {{C::Resize, U + 1}}},
        {u"s\\holes", true, {{C::Text, 100, 10}, {C::Noise, 5 * U + 3, 9000}, {C::Text, 9 * U, 5000}},
         {{C::Resize, 12 * U}, {C::Text, 11 * U, 10}, {C::Resize, 6 * U}}},
        {u"s\\ends", true, {{C::Resize, 20 * U}, {C::Text, 20 * U - 10, 10}}, {{C::Text, 0, 4096}, {C::Resize, 3 * U}}},
    };
}

void Check(const std::string& image, MemoryDevice& device, const char* when) {
    CheckOutcome checked = CheckVolume(device.Api());
    EXPECT_TRUE(checked.Clean()) << when << "\n" << checked.Describe();
    if (!NtfsckPath().empty()) {
        EXPECT_TRUE(NtfsckAccepts(image)) << when;
    }
}

}  // namespace

class CompressedWrites : public ::testing::TestWithParam<uint32_t> {};

// Units of 16 clusters: 64 KiB with 4 KiB clusters, 8 KiB with 512-byte ones.
TEST_P(CompressedWrites, OursAndTheirsAgreeWithLibntfs3gAcrossSessions) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    if (NtfsckPath().empty()) std::cout << "[  SKIPPED ] ntfsck is not at hand: only our check judges the volumes\n";
    TempDir dir;
    const std::string image = dir.File("written.img");
    MakeNtfsImage(image, WithClusters(GetParam(), 64ull << 20));
    std::vector<FileCase> cases = Cases();
    std::map<std::u16string, Bytes> model;
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"c");
        tree.SetAttributes(u"c", 0x10 | 0x800);
        tree.MakeDirectory(u"s");
        model[u"c\\theirs"] = TextSample(5 * U + 999, 3);
        std::fill_n(model[u"c\\theirs"].begin() + U, U, 0);
        tree.MakeFile(u"c\\theirs", model[u"c\\theirs"]);
        for (const std::u16string path : {u"s\\holes", u"s\\ends"}) {
            model[path] = Bytes(10 * U, 0);
            tree.MakeFile(path);
            tree.Resize(path, model[path].size());
            const Bytes piece = TextSample(3000, 4);
            tree.WriteAt(path, 3 * U, piece);
            std::copy(piece.begin(), piece.end(), model[path].begin() + 3 * U);
            ASSERT_TRUE(tree.DataFlags(path) & 0x8000) << Utf8(path) << " is not sparse";
        }
    }
    for (int session = 0; session < 2; ++session) {
        MemoryDevice device = MemoryDevice::FromFile(image);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        uint32_t seed = 10 + 100 * session;
        for (const FileCase& file : cases) {
            NtfsFileHandle handle;
            const std::wstring wide = volcore::Utf16ToWide(file.path);
            ASSERT_TRUE(file.theirs || session ? NtfsOpenFile(wide.c_str(), handle, volume)
                                               : NtfsCreateFile(wide.c_str(), handle, volume));
            for (const Change& change : session ? file.second : file.first) {
                ASSERT_TRUE(ApplyThroughHandles(handle, change, ++seed)) << Utf8(file.path);
                ApplyToModel(model[file.path], change, seed);
            }
            ASSERT_TRUE(NtfsCloseFile(handle));
            EXPECT_EQ(ReadThroughHandles(volume, file.path, 5000), model[file.path]) << Utf8(file.path);
        }
        ASSERT_TRUE(NtfsCloseVolume(volume));
        device.SaveToFile(image);
        Check(image, device, session ? "after our second session" : "after our first session");

        Ntfs3gTree tree(image);
        tree.EnableCompression();
        for (const FileCase& file : cases) {
            EXPECT_EQ(tree.Read(file.path), model[file.path]) << Utf8(file.path) << " as libntfs-3g reads it";
            const uint16_t flags = tree.DataFlags(file.path);
            EXPECT_TRUE(file.path[0] == u'c' ? (flags & 1) != 0 : (flags & 0x8000) != 0) << Utf8(file.path);
            // libntfs-3g writes into our units and holes, and grows the file.
            const Bytes more = TextSample(U / 3, ++seed);
            const uint64_t at = model[file.path].size() / 2;
            tree.WriteAt(file.path, at, more);
            ApplyToModel(model[file.path], {Change::Text, at, more.size()}, seed);
            const Bytes tail = Pattern(5000, ++seed);
            tree.Append(file.path, tail);
            model[file.path].insert(model[file.path].end(), tail.begin(), tail.end());
        }
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (const FileCase& file : cases) EXPECT_EQ(ReadThroughHandles(volume, file.path), model[file.path]) << Utf8(file.path);
    const uint64_t text = ListThroughHandles(volume, u"c").at(u"text");
    ASSERT_TRUE(NtfsCloseVolume(volume));
    Check(image, device, "after libntfs-3g changed our files");
    {
        // Our check reads these runlists too: a compressed size they do not add up to is damage.
        std::vector<uint8_t>& bytes = device.Bytes();
        const uint64_t record = volcore::CByteReader(bytes).U64(volcore::BootField::MftLcn) * GetParam() + text * 1024;
        ImageEditor editor(bytes, record, 1024);
        size_t at = editor.Field(volcore::FileRecord::FirstAttribute, 2);
        while (editor.Field(at, 4) != volcore::AttrType::Data) at += editor.Field(at + 4, 4);
        const size_t field = at + volcore::AttrRecord::CompressedSize;
        editor.SetField(field, 8, editor.Field(field, 8) + 4096);
    }
    EXPECT_TRUE(CheckVolume(device.Api()).Mentions("gives a compressed size")) << CheckVolume(device.Api()).Describe();
    if (!HaveProgram("icat") || !HaveProgram("ifind")) return;
    for (const FileCase& file : cases) {
        std::string path = "/" + Utf8(file.path);
        std::replace(path.begin(), path.end(), '\\', '/');
        const CommandResult found = RunCommand("ifind -n " + ShellQuote(path) + " " + ShellQuote(image));
        const CommandResult read = RunCommand("icat " + ShellQuote(image) + " " + found.output.substr(0, found.output.find('\n')));
        EXPECT_TRUE(Bytes(read.output.begin(), read.output.end()) == model[file.path]) << path << " as icat reads it";
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, CompressedWrites, ::testing::Values(4096u, 512u));

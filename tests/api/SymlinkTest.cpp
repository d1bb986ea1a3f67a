// Symbolic links and junctions between libntfs-3g and the handle family,
// both ways, with The Sleuth Kit, ntfsck and our check judging the volume.
#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>

#include "InteropSupport.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

struct SeenLink {
    uint32_t kind = NtfsNotALink;
    std::wstring target, printName;
    bool relative = false;
};

std::optional<SeenLink> LinkAt(NtfsVolumeHandle volume, const wchar_t* path) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path, file, volume)) return std::nullopt;
    SeenLink seen;
    EXPECT_TRUE(NtfsReadLinkTarget(file, [](const NtfsLinkTarget& link, void* context) {
        *static_cast<SeenLink*>(context) = {link.kind, link.target, link.printName, link.relative};
    }, &seen));
    NtfsCloseFile(file);
    return seen;
}

// A reparse point holding a link's two names (substitute first), with
// symbolic-link flags when `flags` is given.
Bytes LinkReparse(uint32_t tag, const std::u16string& substitute, const std::u16string& print, std::optional<uint32_t> flags) {
    Bytes data;
    auto put = [&](uint64_t value, int bytes) { for (int i = 0; i < bytes; ++i) data.push_back(uint8_t(value >> 8 * i)); };
    put(tag, 4), put(0, 4), put(0, 2), put(2 * substitute.size(), 2), put(2 * substitute.size(), 2), put(2 * print.size(), 2);
    if (flags) put(*flags, 4);
    for (const std::u16string* name : {&substitute, &print}) for (char16_t unit : *name) put(unit, 2);
    data[4] = uint8_t(data.size() - 8), data[5] = uint8_t((data.size() - 8) >> 8);
    return data;
}

}  // namespace

TEST(Symlinks, LinksTravelBothWaysAndEveryCheckerAgrees) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("links.img");
    MakeNtfsImage(image);
    {
        Ntfs3gTree tree(image);
        tree.MakeDirectory(u"\\d");
        tree.MakeFile(u"\\d\\f", Pattern(100, 1));
        tree.MakeInterixLink(u"\\interix", u"d/f");
        tree.MakeFile(u"\\relative");
        tree.SetReparse(u"\\relative", LinkReparse(0xA000000C, u"d\\f", u"d\\f", 1));
        tree.MakeDirectory(u"\\junction");
        tree.SetReparse(u"\\junction", LinkReparse(0xA0000003, u"\\??\\C:\\Users", u"C:\\Users", std::nullopt));
    }
    struct Row { const wchar_t* path; uint32_t kind; const wchar_t* target; const wchar_t* print; bool relative; };
    const Row theirs[] = {{L"interix", NtfsInterixLink, L"d/f", L"d/f", true},
                          {L"junction", NtfsJunction, L"\\??\\C:\\Users", L"C:\\Users", false},
                          {L"d\\f", NtfsNotALink, L"", L"", false},
                          {L"relative", NtfsSymbolicLink, L"d\\f", L"d\\f", true}};
    const Row ours[] = {{L"ours", NtfsSymbolicLink, L"d\\f", L"d\\f", true},
                        {L"ours-dir", NtfsSymbolicLink, L"\\??\\C:\\Windows", L"C:\\Windows", false},
                        {L"d\\up", NtfsSymbolicLink, L"..\\d", L"..\\d", true}};
    auto expectLinks = [](NtfsVolumeHandle volume, const auto& rows) {
        for (const Row& row : rows) {
            std::optional<SeenLink> seen = LinkAt(volume, row.path);
            ASSERT_TRUE(seen) << Utf8(std::u16string(row.path, row.path + wcslen(row.path)));
            EXPECT_EQ(seen->kind, row.kind);
            EXPECT_EQ(seen->target, row.target);
            EXPECT_EQ(seen->printName, row.print);
            EXPECT_EQ(seen->relative, row.relative);
        }
    };
    MemoryDevice device(ReadFileBytes(image));
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    expectLinks(volume, theirs);
    ASSERT_TRUE(NtfsCreateSymlink(L"ours", L"d/f", false, volume));
    ASSERT_TRUE(NtfsCreateSymlink(L"ours-dir", L"C:\\Windows", true, volume));
    ASSERT_TRUE(NtfsCreateSymlink(L"d\\up", L"../d", false, volume));
    ASSERT_TRUE(NtfsCreateSymlink(L"doomed", L"d", true, volume));
    EXPECT_FALSE(NtfsCreateSymlink(L"ours", L"x", false, volume));
    // Enough links that $Reparse's list outgrows its root, then loses half.
    auto many = [](int i) { return L"many" + std::to_wstring(i); };
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(NtfsCreateSymlink(many(i).c_str(), L"d/f", false, volume));
    for (int i = 0; i < 300; i += 2) {
        NtfsFileHandle link;
        ASSERT_TRUE(NtfsOpenFile(many(i).c_str(), link, volume) && NtfsDeleteFile(link));
    }
    NtfsDirHandle doomed;
    ASSERT_TRUE(NtfsOpenDir(L"doomed", doomed, volume) && NtfsDeleteDir(doomed));
    NtfsFileHandle relative;
    ASSERT_TRUE(NtfsOpenFile(L"relative", relative, volume) && NtfsDeleteFile(relative));
    expectLinks(volume, ours);
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    device.SaveToFile(image);
    EXPECT_TRUE(NtfsckAccepts(image));

    {
        Ntfs3gTree tree(image);
        EXPECT_EQ(tree.ReparseData(u"\\ours"), LinkReparse(0xA000000C, u"d\\f", u"d\\f", 1));
        EXPECT_EQ(tree.ReparseData(u"\\d\\up"), LinkReparse(0xA000000C, u"..\\d", u"..\\d", 1));
        EXPECT_EQ(tree.ReparseData(u"\\ours-dir"), LinkReparse(0xA000000C, u"\\??\\C:\\Windows", u"C:\\Windows", 0));
        tree.Remove(u"\\ours");
        for (int i = 1; i < 100; i += 2) tree.Remove(U16("many" + std::to_string(i)));
    }
    if (HaveProgram("fls")) {
        CommandResult listed = RunCommand("fls -r " + ShellQuote(image));
        EXPECT_NE(listed.output.find("ours-dir"), std::string::npos) << listed.output;
        EXPECT_NE(listed.output.find("up"), std::string::npos) << listed.output;
    }
    MemoryDevice changed(ReadFileBytes(image));
    ASSERT_TRUE(NtfsOpenVolume(changed.Api(), volume));
    EXPECT_FALSE(LinkAt(volume, L"ours"));
    EXPECT_FALSE(LinkAt(volume, L"many99"));
    EXPECT_EQ(LinkAt(volume, L"many299").value_or(SeenLink{}).target, L"d\\f");
    for (int i = 101; i < 300; i += 2) {
        NtfsFileHandle link;
        ASSERT_TRUE(NtfsOpenFile(many(i).c_str(), link, volume) && NtfsDeleteFile(link));
    }
    expectLinks(volume, std::span<const Row>(theirs, 3));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(changed.Api()).Clean());
    EXPECT_TRUE(NtfsckAccepts(image));
}

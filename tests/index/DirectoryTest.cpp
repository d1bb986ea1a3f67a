#include <gtest/gtest.h>

#include "base/Log.h"
#include "objects/File.h"
#include "objects/Links.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "objects/PathCache.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/LogCapture.h"
#include "support/Oracles.h"
#include "volume/Bitmap.h"
#include "volume/Mft.h"

using namespace volcore;

namespace volcore::test {
namespace {

class DirectoryTest : public ::testing::Test {
protected:
    // Opens the volume again, flushing the one open.
    CVolume& Open() {
        m_image.Reopen();
        return Volume();
    }
    CVolume& Volume() { return m_image.Volume(); }
    MemoryDevice& Device() { return m_image.Device(); }
    // Records in use according to the MFT bitmap.
    uint64_t RecordsInUse() {
        const CBitmap& bits = Volume().GetMft().GetBitmap();
        return bits.GetSize() - bits.CountClear(0, bits.GetSize());
    }

    EngineVolume m_image{ImageOptions{}, ELoadDepth::Full};
};

FileReference MakeFile(CVolume& volume, std::u16string_view path) {
    auto file = CFile::CreateByPath(volume, path);
    file->Flush();
    return file->GetReference();
}

}  // namespace

TEST_F(DirectoryTest, PathsIgnoreCaseAndEmptyComponentsAndRefusedCreatesLeaveNothing) {
    CVolume& volume = Open();
    CDirectory::CreateByPath(volume, u"alpha\\");
    auto b = CDirectory::CreateByPath(volume, u"\\alpha\\Beta");
    FileReference file = MakeFile(volume, u"alpha\\Beta\\File.txt");

    EXPECT_EQ(volume.ResolvePath(u"\\\\\\"), MakeReference(kRootRecord, 0));
    EXPECT_EQ(volume.ResolvePath(u"\\ALPHA\\\\beta\\file.TXT"), file);
    EXPECT_EQ(CDirectory::OpenByPath(volume, u"alpha\\BETA\\"), b);
    EXPECT_EQ(FailureOf([&] { volume.ResolvePath(u"alpha/Beta"); }), "Entry alpha/Beta doesn't exist");
    EXPECT_EQ(FailureOf([&] { volume.ResolvePath(u"alpha\\Beta\\File.txt\\x"); }), "Attribute 144 $I30 not found");

    // Refused creates leave no record and no cached directory behind.
    uint64_t records = RecordsInUse();
    size_t cached = volume.GetCachedDirectoryCount();
    EXPECT_EQ(FailureOf([&] { CDirectory::CreateByPath(volume, u"ALPHA"); }), "Entry ALPHA is already exist");
    EXPECT_EQ(FailureOf([&] { CDirectory::CreateByPath(volume, u"alpha\\beta\\FILE.TXT"); }),
              "Entry FILE.TXT is already exist");
    EXPECT_EQ(FailureOf([&] { CFile::CreateByPath(volume, u"\\\\"); }), "Invalid path: \\\\");
    EXPECT_EQ(FailureOf([&] { CFile::CreateByPath(volume, u"alpha\\gamma\\x"); }), "Entry gamma doesn't exist");
    EXPECT_EQ(FailureOf([&] { CDirectory::CreateByPath(volume, u"x:y"); }),
              "Invalid name x:y: name contains a character that is not allowed");
    // A colon in a file's path names a stream: a bad one makes no file either.
    EXPECT_EQ(FailureOf([&] { CFile::CreateByPath(volume, u"x:y*"); }),
              "Invalid stream name y*: name contains a character that is not allowed");
    EXPECT_EQ(RecordsInUse(), records);
    EXPECT_EQ(volume.GetCachedDirectoryCount(), cached);
}

TEST_F(DirectoryTest, DeleteFreesTheRecordWhichAStaleReferenceNoLongerReaches) {
    CVolume& volume = Open();

    auto outer = CDirectory::CreateByPath(volume, u"outer");
    auto inner = CDirectory::CreateByPath(volume, u"outer\\inner");
    volume.Flush();
    uint64_t records = RecordsInUse();

    // The outer index is dirty again once inner goes; deleting it anyway works.
    FileReference innerReference = inner->GetReference();
    inner->Delete();
    EXPECT_EQ(FailureOf([&] { inner->GetIndex(); }), "Directory was deleted");
    outer->Delete();
    EXPECT_EQ(RecordsInUse(), records - 2);
    EXPECT_EQ(FailureOf([&] { volume.ResolvePath(u"outer"); }), "Entry outer doesn't exist");

    // A new directory on a freed record is the new object, which a stale
    // reference to the deleted one no longer reaches.
    std::shared_ptr<CDirectory> reused;
    for (int i = 0; i < 4 && (!reused || !SameRecord(reused->GetReference(), innerReference)); ++i)
        reused = CDirectory::CreateByPath(volume, u"new" + std::u16string(1, u'0' + i));
    ASSERT_TRUE(SameRecord(reused->GetReference(), innerReference));
    EXPECT_THROW(CDirectory::Open(volume, innerReference), CException);
    EXPECT_EQ(CDirectory::Open(volume, reused->GetReference()), reused);
}

TEST_F(DirectoryTest, TeardownWritesWhatIsPendingAndReportsAFailureOnce) {
    m_image.Close();
    auto load = [&] { return std::make_shared<CVolume>(std::make_shared<CIoDeviceImpl>(Device().Api())); };
    {
        auto volume = load();
        CDirectory::CreateByPath(*volume, u"a");
        CDirectory::CreateByPath(*volume, u"a\\b");
        MakeFile(*volume, u"a\\b\\c");
        // No explicit flush: the destructor writes what is pending.
    }
    {
        auto volume = load();
        EXPECT_NE(volume->ResolvePath(u"a\\b\\c"), 0u);
        // A create is written at once; a change of times waits for the flush.
        CDirectory::CreateByPath(*volume, u"lost")->SetAttributesAndTime(StandardInformation{});
        Device().failWrite = [](uint64_t, uint32_t) { return true; };
        LogCapture log;
        volume.reset();
        // The volume reports the loss; its directories go quietly.
        ASSERT_EQ(log.Errors().size(), 1u);
        EXPECT_EQ(log.Errors()[0].rfind("Destroying volume: ", 0), 0u) << log.Errors()[0];
    }
    Device().failWrite = nullptr;
}

// A walk lets go the directories it passes, whose answers stay under the
// version each left; a later object of one takes it over, so that a change
// made through that object is seen once it is gone as well.
TEST_F(DirectoryTest, DirectoriesAWalkLetGoAnswerOnlyWhileUnchanged) {
    CVolume& volume = Open();
    for (auto path : {u"a", u"a\\b", u"a\\b\\x"}) CDirectory::CreateByPath(volume, path);
    MakeFile(volume, u"a\\b\\x\\f");
    volume.Flush();
    auto file = CFile::OpenByPath(volume, u"a\\b\\x\\f");
    EXPECT_EQ(volume.GetCachedDirectoryCount(), 1u);  // x, which holds the target
    const FileReference x = file->GetParentReference();
    file->Delete();
    CDirectory::Open(volume, x)->Delete();  // through a new object of b, without a walk
    volume.Flush();
    EXPECT_EQ(FailureOf([&] { volume.ResolvePath(u"a\\b\\x\\f"); }), "Entry x doesn't exist");
}

// A directory seen once goes when the next first visits push it out: written
// back then (a second volume on the device finds its new name), and, while
// another holder keeps it, leaving no index version behind, so that a change
// made through that holder is not hidden behind the answers taken before.
TEST_F(DirectoryTest, ADirectoryPushedOutAfterOneVisitIsWrittenAndItsAnswersFollowItsHolder) {
    CVolume& volume = Open();
    auto d = CDirectory::CreateByPath(volume, u"d");
    MakeFile(volume, u"d\\f");
    for (auto path : {u"d\\f", u"d\\\\f"}) volume.ResolvePath(path);  // f asked twice in d: kept
    for (size_t i = 0; i < CObjectCache::kFirstVisitSlots; ++i)
        CDirectory::CreateByPath(volume, u"o" + std::u16string(1, char16_t(u'0' + i)));
    EXPECT_NE(CVolume(std::make_shared<CIoDeviceImpl>(Device().Api())).ResolvePath(u"d\\f"), 0u);
    d->RemoveEntry(u"f");
    d.reset();
    EXPECT_EQ(FailureOf([&] { volume.ResolvePath(u"d\\f"); }), "Entry f doesn't exist");
}

// A directory given up after a failed write keeps serving lookups from memory
// but takes no change: one it took would never reach the disk (a create's
// name lost, a delete's record freed under a name still on disk).
TEST_F(DirectoryTest, ADirectoryGivenUpRefusesChangesAndTheVolumeStaysWhole) {
    CVolume& volume = Open();
    CDirectory::CreateByPath(volume, u"d");
    MakeFile(volume, u"d\\f");
    MakeFile(volume, u"d\\g");
    MakeFile(volume, u"h");
    auto d = CDirectory::OpenByPath(volume, u"d");
    d->Abandon();
    const std::string refused =
        "FS object " + std::to_string(RecordNumber(d->GetReference())) + " (d) was given up after a failed write";
    EXPECT_EQ(FailureOf([&] { CFile::CreateByPath(volume, u"d\\new"); }), refused);
    EXPECT_EQ(FailureOf([&] { CFile::OpenByPath(volume, u"d\\f")->Delete(); }), refused);
    EXPECT_EQ(FailureOf([&] { MoveName(*CFile::OpenByPath(volume, u"d\\g"), *volume.GetRoot(), u"g", false); }), refused);
    EXPECT_EQ(FailureOf([&] { MoveName(*CFile::OpenByPath(volume, u"h"), *d, u"h", false); }), refused);
    d.reset();
    m_image.ExpectCheckersAccept();
    EXPECT_TRUE(NtfsckAccepts(m_image.Path()));
    m_image.Reopen();
    for (auto path : {u"d\\f", u"d\\g", u"h"}) EXPECT_NE(Volume().ResolvePath(path), 0u);
    EXPECT_EQ(FailureOf([&] { Volume().ResolvePath(u"d\\new"); }), "Entry new doesn't exist");
}

// Past its limit each new answer takes an old one's place (and its name's
// storage, of another length): whatever still answers must be what was
// remembered under that key, and only under its version.
TEST(PathCacheTest, AnswersPastTheLimitAreTheirOwn) {
    CPathCache cache;
    const size_t count = 3 * CPathCache::kLimit;
    auto name = [](size_t i) { return std::u16string(i % 37 + 1, u'a') + std::u16string(1, char16_t(u'A' + i % 26)) +
                                      u"#" + std::u16string(1, char16_t(0x100 + i)); };
    for (size_t i = 0; i < count; ++i) {
        cache.Remember(i % 3, name(i), i, MakeReference(i, 1));
        cache.RememberPath(u"/d/" + name(i), i, MakeReference(i, 2));
        ASSERT_EQ(cache.Find(i % 3, name(i), i), MakeReference(i, 1)) << i;
        ASSERT_EQ(cache.FindPath(u"/d/" + name(i), i), MakeReference(i, 2)) << i;
    }
    size_t names = 0, paths = 0;
    for (size_t i = 0; i < count; ++i) {
        if (auto child = cache.Find(i % 3, name(i), i)) {
            EXPECT_EQ(*child, MakeReference(i, 1)) << i;
            ++names;
        }
        if (auto target = cache.FindPath(u"/d/" + name(i), i)) {
            EXPECT_EQ(*target, MakeReference(i, 2)) << i;
            ++paths;
        }
        EXPECT_FALSE(cache.Find(i % 3, name(i), i + 1)) << i;
        EXPECT_FALSE(cache.FindPath(u"/d/" + name(i), i + 1)) << i;
    }
    EXPECT_EQ(names, CPathCache::kLimit);
    EXPECT_EQ(paths, CPathCache::kLimit);
}

// Both ways of hashing give one value (a table fed by both would lose keys),
// and blocks of a path in another order hash apart (a deep path of
// equal-width names would otherwise crowd one bucket).
TEST(PathCacheTest, PathHashesAgreeAndKeepTheOrder) {
    std::u16string path;
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(CPathCache::HashUnits(path), CPathCache::HashUnitsWithoutAvx2(path)) << i;
        path += char16_t(i % 5 == 0 ? u'\\' : 0x41 + (i * 7919) % 1000);
    }
    const std::u16string a = u"\\d000001\\d000002", b = u"\\d000003\\d000004";
    EXPECT_NE(CPathCache::HashUnits(a + b + a), CPathCache::HashUnits(b + a + a));
}

}  // namespace volcore::test

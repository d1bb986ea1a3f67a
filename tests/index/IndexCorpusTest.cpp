// Every directory index of the damaged images either loads or is refused
// with an exception: no crash, no hang, no runaway allocation (the sanitizer
// build runs this too).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/IoDevice.h"
#include "entries/FileEntry.h"
#include "index/Index.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "volume/Mft.h"
#include "volume/Volume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

struct Outcome {
    int indexesLoaded = 0;
    int indexesRefused = 0;
};

// Loads the index of every directory among the first records of the volume.
Outcome LoadIndexes(CVolume& volume) {
    Outcome outcome;
    uint64_t records = std::min<uint64_t>(volume.GetMft().GetRecordCount(), 128);
    for (uint64_t record = 0; record < records; ++record) {
        try {
            FileEntryPtr entry = CFileEntry::Load(MakeReference(record, 0), volume);
            if (!entry->FindAttribute(AttrType::IndexRoot, u"$I30")) continue;
            CIndex index(entry, u"$I30", volume.GetUpCase());
            std::vector<std::u16string> names;
            index.ForEach([&](std::u16string_view name, const SIndexEntryValue&) {
                names.emplace_back(name);
                return true;
            });
            for (const auto& name : names) {
                SIndexEntryValue found;
                EXPECT_TRUE(index.FindEntry(name, found));
            }
            ++outcome.indexesLoaded;
        } catch (const std::exception& e) {
            EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
            ++outcome.indexesRefused;
        }
    }
    return outcome;
}

}  // namespace

TEST(IndexCorpus, DamagedImagesLoadOrFailCleanly) {
    int volumesOpened = 0;
    int indexesLoaded = 0;
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        FileDevice device(image.path.string());
        try {
            CVolume volume(std::make_shared<CIoDeviceImpl>(device.Api()), ELoadDepth::Allocator);
            ++volumesOpened;
            // Without its table, names compare by their raw units.
            FailureOf([&] {
                FileEntryPtr upcase = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), volume);
                volume.SetUpCase(BuildUpCaseTable(upcase->GetAttribute(AttrType::Data)->ReadAll()));
            });
            indexesLoaded += LoadIndexes(volume).indexesLoaded;
        } catch (const std::exception& e) {
            // A refused volume is a clean outcome, when it is refused as damaged.
            EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
        }
    });
    if (images == 0) GTEST_SKIP() << "no corpus";
    EXPECT_GT(volumesOpened, 0);
    EXPECT_GT(indexesLoaded, volumesOpened);  // the root and $Extend at least, on most
}

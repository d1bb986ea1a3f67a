#include <gtest/gtest.h>

#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "base/Unicode.h"
#include "support/Ntfs3gTree.h"
#include "volume/Bitmap.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"
#include "support/EngineVolume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

std::string LinkName(int index, size_t length) {
    std::string name = "link" + std::to_string(index) + "_";
    name.resize(length, 'x');
    return name;
}

// One new file in the root directory with `links` names, made by libntfs-3g;
// returns its record number.
uint64_t AddFileWithLinks(const std::string& image, int links, size_t nameLength) {
    uint64_t record = RecordNumber(Ntfs3gTree(image).MakeFile(Utf8ToUtf16(LinkName(0, nameLength))));
    Ntfs3gTree tree(image);
    for (int i = 1; i < links; ++i) tree.Link(Utf8ToUtf16(LinkName(0, nameLength)), Utf8ToUtf16(LinkName(i, nameLength)));
    return record;
}

// What a save must keep of an entry, as text: the header's counts and every
// attribute's key, flags, size and value or runs.
std::string Snapshot(CVolume& volume, uint64_t record) {
    MftRecBufferPtr raw = volume.ReadMftRecord(record);
    CByteReader header(raw->bytes);
    std::string text = std::to_string(header.U16(FileRecord::SequenceNumber)) + " " +
                       std::to_string(header.U16(FileRecord::LinkCount)) + " " + std::to_string(header.U16(FileRecord::Flags));
    FileEntryPtr entry = CFileEntry::Load(record, volume);
    for (const auto& [key, attribute] : entry->GetAttributes()) {
        text += "\n" + std::to_string(key.type) + "/" + Utf16ToUtf8(key.name) + "/" + std::to_string(key.occurrence) +
                " flags " + std::to_string(attribute->GetFlags()) + " size " + std::to_string(attribute->GetSize()) + ":";
        if (!attribute->IsNonResident())
            for (uint8_t byte : attribute->ReadAll()) text += " " + std::to_string(byte);
        for (const auto& [vcn, run] : attribute->GetRuns())
            text += " " + std::to_string(vcn.value) + ":" + std::to_string(run.lcn) + "+" + std::to_string(run.length);
    }
    return text;
}

}  // namespace

TEST(FileEntry, RebuiltRecordsKeepWhatTheyHeld) {
    for (uint32_t clusterSize : {512u, 4096u, 65536u}) {
        SCOPED_TRACE(clusterSize);
        EngineVolume image(WithClusters(clusterSize));
        uint64_t twoNames = AddFileWithLinks(image.Path(), 2, 20);
        Ntfs3gTree(image.Path()).MakeFile(u"data.bin", Pattern(300000, 1));
        image.Reload();
        CVolume* volume = &image.Volume();
        uint64_t saved = 0;
        for (uint64_t record = 0; record < volume->GetMft().GetRecordCount(); ++record) {
            bool baseInUse = volume->GetMft().GetBitmap().Test(record) &&
                             FailureOf([&] { CFileEntry::Load(record, *volume); }).empty();
            if (!baseInUse) continue;
            SCOPED_TRACE(record);
            std::string before = Snapshot(*volume, record);
            FileEntryPtr entry = CFileEntry::Load(record, *volume);
            // The entry numbers occurrences as the record parser does.
            ParseMap parsed;
            ParseAttributeRecords(volume->ReadMftRecord(record), parsed);
            std::vector<SAttributeKey> keys, parsedKeys;
            for (const auto& [key, attribute] : entry->GetAttributes()) keys.push_back(key);
            for (const auto& [key, locations] : parsed) parsedKeys.push_back(key);
            if (entry->GetExtensionRecords().empty()) {
                EXPECT_EQ(keys, parsedKeys);
            }
            entry->MarkDirty();
            entry->Save();
            EXPECT_FALSE(entry->IsDirty());
            EXPECT_EQ(Snapshot(*volume, record), before);
            ++saved;
        }
        EXPECT_GE(saved, 18u);

        FileEntryPtr linked = CFileEntry::Load(twoNames, *volume);
        EXPECT_EQ(linked->GetLinkCount(), 2u);
        std::vector<AttributePtr> names = linked->FindAttributes(AttrType::FileName);
        ASSERT_EQ(names.size(), 2u);
        // Removing the first name leaves the second as the one lookups find.
        FileEntryPtr unlinked = CFileEntry::Load(twoNames, *volume);
        unlinked->DeleteAttribute(AttrType::FileName);
        EXPECT_EQ(unlinked->FindAttributes(AttrType::FileName).size(), 1u);
        EXPECT_EQ(unlinked->GetAttribute(AttrType::FileName)->ReadAll(), names[1]->ReadAll());
        image.ExpectCheckersAccept();
    }
}

TEST(FileEntry, FollowsTheAttributeList) {
    EngineVolume image;
    constexpr int kLinks = 12;
    uint64_t record = AddFileWithLinks(image.Path(), kLinks, 100);
    image.Reload();
    CVolume* volume = &image.Volume();

    FileEntryPtr entry = CFileEntry::Load(record, *volume);
    ASSERT_TRUE(entry->FindAttribute(AttrType::AttributeList));
    ASSERT_FALSE(entry->GetExtensionRecords().empty());
    EXPECT_EQ(entry->FindAttributes(AttrType::FileName).size(), size_t{kLinks});
    // One lookup builds every name, in the base record or not: the count and
    // lookups after it answer from what it built.
    // Before any build the count and the first name come from the records
    // themselves, extension records included.
    FileEntryPtr unbuilt = CFileEntry::Load(record, *volume);
    EXPECT_EQ(unbuilt->CountAttributes(AttrType::FileName), size_t{kLinks});
    const auto inPlace = unbuilt->LocatedResidentValue(AttrType::FileName);
    ASSERT_TRUE(inPlace);
    const std::vector<uint8_t> firstValue(inPlace->begin(), inPlace->end());
    FileEntryPtr fresh = CFileEntry::Load(record, *volume);
    AttributePtr firstName = fresh->FindAttribute(AttrType::FileName);
    EXPECT_EQ(firstName->ReadAll(), firstValue);
    EXPECT_EQ(fresh->CountAttributes(AttrType::FileName), size_t{kLinks});
    EXPECT_EQ(fresh->FindAttribute(AttrType::FileName), firstName);

    uint64_t extension = RecordNumber(*entry->GetExtensionRecords().begin());
    EXPECT_EQ(FailureOf([&] { CFileEntry::Load(extension, *volume); }),
              "Cannot load file entry: not a base record " + std::to_string(extension));

    // Damaged lists: a zero length or a name past its entry ends the walk, a
    // record past the MFT is refused. libntfs-3g keeps this list in clusters, where the damage goes.
    AttributePtr list = entry->GetAttribute(AttrType::AttributeList);
    ASSERT_TRUE(list->IsNonResident());
    const std::vector<uint8_t> pristine = list->ReadAll();
    auto patchFirstForeignEntry = [&](auto change) {
        std::vector<uint8_t> bytes = pristine;
        CByteWriter writer(bytes);
        for (size_t at = 0; at < bytes.size(); at += writer.Reader().U16(at + AttrListEntry::Length)) {
            if (RecordNumber(writer.Reader().U64(at + AttrListEntry::Reference)) != record) {
                change(writer.Sub(at, bytes.size() - at));
                break;
            }
        }
        list->WriteData(0, bytes.data(), static_cast<uint32_t>(bytes.size()));
    };
    for (auto damage : {+[](const CByteWriter& listEntry) { listEntry.U16(AttrListEntry::Length, 0); },
                        +[](const CByteWriter& listEntry) { listEntry.U8(AttrListEntry::NameLength, 255); }}) {
        patchFirstForeignEntry(damage);
        FileEntryPtr truncated = CFileEntry::Load(record, *volume);
        EXPECT_TRUE(truncated->GetExtensionRecords().empty());
        EXPECT_LT(truncated->FindAttributes(AttrType::FileName).size(), size_t{kLinks});
    }

    patchFirstForeignEntry([](const CByteWriter& listEntry) { listEntry.U64(AttrListEntry::Reference, 1u << 30); });
    EXPECT_NE(FailureOf([&] { CFileEntry::Load(record, *volume); }).find("is beyond the MFT"), std::string::npos);
}

TEST(FileEntry, CreatesSavesAndDeletesAnEntry) {
    EngineVolume image;
    CVolume* volume = &image.Volume();
    auto& bits = dynamic_cast<CClusterAllocator&>(*volume->GetClusterAllocator()).GetBitmap();
    FileEntryPtr entry = NewEntry(*volume, u"new.txt");
    uint64_t record = RecordNumber(entry->GetReference());
    AttributePtr data = entry->CreateAttribute(AttrType::Data, u"", false);
    data->SetSize(3 * 4096 + 5);
    EXPECT_EQ(FailureOf([&] { entry->CreateAttribute(AttrType::Data, u"", true); }),
              "Cannot create new attribute 128  for file entry " + std::to_string(entry->GetReference()) +
                  ": attribute already exists");
    entry->Save();

    // Removing the data returns its clusters once saved; removing it twice is an error.
    uint64_t lcn = data->GetRuns().begin()->second.lcn;
    entry->DeleteAttribute(AttrType::Data);
    entry->Save();
    EXPECT_FALSE(bits.Test(lcn));
    EXPECT_EQ(FailureOf([&] { entry->DeleteAttribute(AttrType::Data); }),
              "Cannot delete attribute 128 : attributes does not exist");

    AttributePtr again = entry->CreateAttribute(AttrType::Data, u"", false);
    again->SetSize(4096);
    lcn = again->GetRuns().begin()->second.lcn;
    entry->Save();
    // A delete of an entry loaded afresh, its data never asked for, is
    // refused by damage there before it writes anything.
    MftRecBufferPtr raw = volume->ReadMftRecord(record);
    ParseMap parsed;
    ParseAttributeRecords(raw, parsed);
    CByteWriter(raw->bytes).U64(parsed.at({AttrType::Data, u"", 0}).front().offset + AttrRecord::InitializedSize, 8192);
    volume->WriteMftRecord(record, raw);
    FileEntryPtr damaged = CFileEntry::Load(record, *volume);
    const std::string failure = FailureOf([&] { damaged->FindAttribute(AttrType::Data); });
    EXPECT_FALSE(failure.empty());
    EXPECT_EQ(FailureOf([&] { damaged->FindAttribute(AttrType::Data); }), failure);  // still located
    EXPECT_THROW(damaged->Delete(), CException);
    EXPECT_NO_THROW(CFileEntry::Load(record, *volume));
    entry->Delete();
    EXPECT_TRUE(entry->IsDeleted());
    EXPECT_FALSE(bits.Test(lcn));
    EXPECT_FALSE(volume->GetMft().GetBitmap().Test(record));
    EXPECT_EQ(FailureOf([&] { CFileEntry::Load(record, *volume); }),
              "Cannot load file entry: unused record " + std::to_string(record));
    image.ExpectCheckersAccept();
}


// The file object: contents and size, the copies of its times and attributes
// in $FILE_NAME and in the parent's index, and deletion.
#include <gtest/gtest.h>

#include "base/Bytes.h"
#include "objects/File.h"
#include "entries/FileEntry.h"
#include "objects/Directory.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/Ntfs3gTree.h"
#include "objects/Volume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

std::vector<std::vector<uint8_t>> FileNames(const CFileEntry& entry) {
    std::vector<std::vector<uint8_t>> values;
    for (const AttributePtr& attribute : entry.FindAttributes(AttrType::FileName)) values.push_back(attribute->ReadAll());
    return values;
}

class FileObject : public ::testing::Test {
protected:
    void SetUp() override {
        {
            Ntfs3gTree image(m_image.Path());
            m_dir = image.MakeDirectory(u"d");
            m_text = image.MakeFile(u"d\\A long file name.txt", Pattern(11, 1));
        }
        Ntfs3gTree(m_image.Path()).SetDosName(u"d\\A long file name.txt", "ALONGF~1.TXT");
        m_image.Reload();
    }
    CVolume& Volume() { return m_image.Volume(); }

    EngineVolume m_image{ImageOptions{}, ELoadDepth::Full};
    FileReference m_dir = 0;
    FileReference m_text = 0;
};

}  // namespace

TEST_F(FileObject, FileWithoutDataGetsAResidentDataOnFirstSize) {
    CFile file(NewEntry(Volume(), u"new", false, m_dir), Volume());
    EXPECT_EQ(file.GetSize(), 0u);
    char buffer[10];
    EXPECT_FALSE(file.GetEntry().FindAttribute(AttrType::Data));

    file.SetSize(0);
    AttributePtr data = file.GetEntry().FindAttribute(AttrType::Data);
    ASSERT_TRUE(data);
    EXPECT_FALSE(data->IsNonResident());
    file.SetSize(10);
    file.Write(0, "0123456789", 10);
    file.Read(0, buffer, 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST_F(FileObject, EveryFileNameAndTheParentIndexFollowSizeTimesAndAttributesUntilDeleted) {
    std::shared_ptr<CDirectory> parent = CDirectory::Open(Volume(), m_dir);
    CFile file(CFileEntry::Load(m_text, Volume()), Volume());
    ASSERT_EQ(FileNames(file.GetEntry()).size(), 2u);
    StandardInformation info = file.GetAttributesAndTime();
    CByteWriter fields(info.data(), info.size());
    fields.U64(StdInfo::CreationTime, 111);
    fields.U64(StdInfo::ModificationTime, 222);
    fields.U64(StdInfo::MftChangeTime, 333);
    fields.U64(StdInfo::AccessTime, 444);
    fields.U32(StdInfo::FileAttributes, 0x21);
    file.SetAttributesAndTime(info);
    file.SetSize(5000);
    file.SaveEntryAndNames();

    uint64_t allocated = file.GetEntry().GetAttribute(AttrType::Data)->GetAllocatedSize();
    for (const auto& value : FileNames(file.GetEntry())) {
        CByteReader name(value);
        EXPECT_EQ(name.U64(FileNameValue::CreationTime), 111u);
        EXPECT_EQ(name.U64(FileNameValue::ModificationTime), 222u);
        EXPECT_EQ(name.U64(FileNameValue::MftChangeTime), 333u);
        EXPECT_EQ(name.U64(FileNameValue::AccessTime), 444u);
        EXPECT_EQ(name.U32(FileNameValue::FileAttributes), 0x21u);
        EXPECT_EQ(name.U64(FileNameValue::DataSize), 5000u);
        EXPECT_EQ(name.U64(FileNameValue::AllocatedSize), allocated);
    }
    // The alias's entry in the parent follows too, and stays a DOS name.
    const SIndexEntryValue& alias = parent->GetEntry(u"alongf~1.txt");
    EXPECT_EQ(alias.modificationTime, 222u);
    EXPECT_EQ(alias.dataSize, 5000u);
    EXPECT_EQ(alias.nameSpace, FileNameValue::NameSpaceDos);

    // Deleting removes both names and ends the object.
    file.Delete();
    EXPECT_TRUE(file.IsDeleted());
    EXPECT_NO_THROW(file.Flush());
    EXPECT_TRUE(parent->GetIndex().IsEmpty());
}

TEST_F(FileObject, AFailedFlushIsReportedOnceAndDestructionNeverRaises) {
    LogCapture log;
    {
        CFile file(NewEntry(Volume(), u"broken", false, m_dir), Volume());
        file.GetEntry().DeleteAttribute(AttrType::StandardInformation);
        EXPECT_EQ(FailureOf([&] { file.Flush(); }), "Attribute 16  not found");
    }
    EXPECT_TRUE(log.Errors().empty());
    {
        CFile file(NewEntry(Volume(), u"dropped", false, m_dir), Volume());
        file.GetEntry().DeleteAttribute(AttrType::StandardInformation);
    }
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].find("Destroying file dropped ("), std::string::npos) << log.Errors()[0];
}

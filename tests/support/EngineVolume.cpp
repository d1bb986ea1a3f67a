#include "support/EngineVolume.h"

#include "base/IoDevice.h"
#include "entries/Attribute.h"
#include "disk/UpCase.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

namespace volcore::test {

CTestVolume::CTestVolume(std::shared_ptr<IIoDevice> device, ELoadDepth depth)
    : CVolume(std::move(device), SBootSectorOnly{}) {
    if (depth == ELoadDepth::BootSector) return;
    LoadMft();
    if (depth == ELoadDepth::Mft) return;
    LoadAllocator();
    if (depth == ELoadDepth::Allocator) return;
    LoadUpCase();
    LoadObjects();
}

EngineVolume::EngineVolume(const ImageOptions& options, ELoadDepth depth)
    : m_dir(std::make_unique<TempDir>()), m_path(m_dir->File("v.img")), m_depth(depth) {
    if (options.clusterSize == ImageOptions{}.clusterSize && options.sectorSize == ImageOptions{}.sectorSize &&
        options.label.empty()) {
        WriteFileBytes(m_path, PristineImage(options.size));  // made once per test program
    } else {
        MakeNtfsImage(m_path, options);
    }
    m_device.Bytes() = ReadFileBytes(m_path);
    Open();
}

EngineVolume::EngineVolume(const std::string& imagePath, ELoadDepth depth)
    : m_path(imagePath), m_depth(depth), m_device(ReadFileBytes(imagePath)) {
    Open();
}

void EngineVolume::Open() {
    m_volume = std::make_unique<CTestVolume>(std::make_shared<CIoDeviceImpl>(m_device.Api()), m_depth);
    if (m_depth == ELoadDepth::Mft || m_depth == ELoadDepth::Allocator) {
        FileEntryPtr upcase = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), *m_volume);
        m_volume->SetUpCase(BuildUpCaseTable(upcase->GetAttribute(AttrType::Data)->ReadAll()));
    }
}

void EngineVolume::Close() {
    if (m_volume) m_volume->Flush();
    m_volume.reset();
    WriteFileBytes(m_path, Bytes());
}

void EngineVolume::Reopen(ELoadDepth depth) {
    if (m_volume) m_volume->Flush();
    m_volume.reset();
    m_depth = depth;
    Open();
}

void EngineVolume::Reload() {
    m_volume.reset();
    m_device.Bytes() = ReadFileBytes(m_path);
    Open();
}

uint64_t EngineVolume::RecordOffset(uint64_t number, bool mirror) const {
    uint64_t lcn = mirror ? m_volume->GetMftMirrorLcn() : m_volume->GetMftLcn();
    return lcn * m_volume->GetClusterSize() + number * m_volume->GetMftRecordSize();
}

void EngineVolume::ExpectCheckersAccept() {
    Close();
    if (!HaveProgram("ntfsfix")) {
        CheckOutcome outcome = CheckVolume(m_device.Api());
        EXPECT_TRUE(outcome.ran && outcome.damage.empty()) << outcome.Describe();
        return;
    }
    EXPECT_TRUE(NtfsfixAccepts(m_path));
    CommandResult info = RunCommand("ntfsinfo -m " + ShellQuote(m_path));
    EXPECT_EQ(info.exitCode, 0) << info.output;
}

TestAllocator* TestAllocator::Install(CTestVolume& volume, uint64_t next) {
    auto* allocator = new TestAllocator(next);
    volume.UseClusterAllocator(std::unique_ptr<TestAllocator>(allocator));
    return allocator;
}

void TestAllocator::Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) {
    zones.push_back(zone);
    uint64_t vcn = runs.empty() ? 0 : runs.rbegin()->first.value + runs.rbegin()->second.length;
    runs[VCN{vcn}] = {m_next, count};
    m_next += count;
}

void SetValue(CAttribute& attribute, const std::vector<uint8_t>& value) {
    attribute.SetSize(value.size());
    if (!value.empty()) attribute.WriteData(0, value.data(), static_cast<uint32_t>(value.size()));
}

FileEntryPtr NewEntry(CVolume& volume, const std::u16string& name, bool directory, FileReference parent) {
    uint16_t flags = FileRecord::FlagInUse | (directory ? FileRecord::FlagDirectory : 0);
    uint32_t attributes = directory ? kFileAttributeDirectoryIndex : kFileAttributeNormal;
    FileEntryPtr entry = CFileEntry::Create(flags, volume);
    std::vector<uint8_t> info(StdInfo::Size);
    CByteWriter(info).U32(StdInfo::FileAttributes, attributes);
    SetValue(*entry->CreateAttribute(AttrType::StandardInformation, u"", true), info);
    std::vector<uint8_t> value(FileNameValue::Name + 2 * name.size());
    CByteWriter writer(value);
    writer.U64(FileNameValue::ParentReference, parent);
    writer.U32(FileNameValue::FileAttributes, attributes);
    writer.U8(FileNameValue::NameLength, static_cast<uint8_t>(name.size()));
    writer.U8(FileNameValue::NameSpace, FileNameValue::NameSpaceWin32);
    writer.Utf16(FileNameValue::Name, name);
    SetValue(*entry->CreateAttribute(AttrType::FileName, u"", true), value);
    if (directory) entry->CreateAttribute(AttrType::IndexRoot, u"$I30", true);
    return entry;
}

}  // namespace volcore::test

#include "ntfs3g/WofFile.h"

#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"

namespace volcore::fsfamily {
namespace {

bool CarriesWofTag(const std::vector<uint8_t>& reparse) {
    return reparse.size() >= ReparseValue::DataLength && CByteReader(reparse).U32(ReparseValue::Tag) == WofReparse::Tag;
}

class CNtfs3gStream final : public IWofStream {
public:
    explicit CNtfs3gStream(ntfs_attr* stream) : m_stream(stream) {}
    ~CNtfs3gStream() override { ntfs_attr_close(m_stream); }
    CNtfs3gStream(const CNtfs3gStream&) = delete;
    CNtfs3gStream& operator=(const CNtfs3gStream&) = delete;

    uint64_t Size() const override { return static_cast<uint64_t>(m_stream->data_size); }
    void Read(uint64_t offset, uint8_t* out, uint32_t size) const override {
        if (ntfs_attr_pread(m_stream, static_cast<s64>(offset), size, out) != static_cast<s64>(size))
            Fail("failed to read data");
    }

private:
    ntfs_attr* m_stream;
};

std::unique_ptr<IWofStream> OpenWofStream(ntfs_inode* inode) {
    ntfschar name[std::size(kWofStreamName) - 1];
    for (size_t i = 0; i < std::size(name); ++i) name[i] = cpu_to_le16(kWofStreamName[i]);
    ntfs_attr* stream = ntfs_attr_open(inode, AT_DATA, name, static_cast<u32>(std::size(name)));
    if (stream == nullptr) return nullptr;
    return std::make_unique<CNtfs3gStream>(stream);
}

}  // namespace

bool IsSystemCompressed(ntfs_inode* inode) { return CarriesWofTag(ReparseValueOf(inode)); }

void CheckStreamChangeable(ntfs_inode* inode, const std::vector<ntfschar>& name) {
    const std::u16string_view wof = kWofStreamName;
    if (name.size() != wof.size()) return;
    for (size_t i = 0; i < name.size(); ++i)
        if (le16_to_cpu(name[i]) != wof[i]) return;
    if (IsSystemCompressed(inode)) Fail("cannot change a system-compressed (WOF) file: its data can only be read");
}

std::unique_ptr<CSystemCompressedData> OpenSystemCompressed(ntfs_inode* inode, uint64_t size) {
    std::vector<uint8_t> reparse = ReparseValueOf(inode);
    if (!CarriesWofTag(reparse)) return nullptr;
    if (reparse.size() > CSystemCompressedData::kReparseBytes) reparse.resize(CSystemCompressedData::kReparseBytes);
    return std::make_unique<CSystemCompressedData>(static_cast<uint64_t>(inode->mft_no), std::move(reparse), size,
                                                   OpenWofStream(inode));
}

}  // namespace volcore::fsfamily

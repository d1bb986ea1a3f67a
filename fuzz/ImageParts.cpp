#include "ImageParts.h"

#include <cctype>

#include "base/Bytes.h"
#include "base/IoDevice.h"
#include "check/BootCheck.h"
#include "check/FileModel.h"
#include "check/MftAccess.h"
#include "check/RecordParser.h"
#include "check/VolumeReader.h"
#include "disk/RecordFormat.h"

using namespace volcore;
using namespace volcore::check;

namespace volcore::fuzz {
namespace {

void CollectNonResident(const Bytes& record, std::vector<Bytes>& out) {
    CByteReader reader(record);
    size_t offset = reader.U16(FileRecord::FirstAttribute);
    size_t used = std::min<size_t>(reader.U32(FileRecord::BytesInUse), record.size());
    while (offset + AttrRecord::Length + 4 <= used && reader.U32(offset + AttrRecord::Type) != AttrType::End) {
        size_t length = reader.U32(offset + AttrRecord::Length);
        if (length < AttrRecord::ResidentHeaderSize || length > used - offset) break;
        if (reader.U8(offset + AttrRecord::NonResident) != 0)
            out.emplace_back(record.begin() + offset, record.begin() + offset + length);
        offset += length;
    }
}

std::vector<uint64_t> IndexBlocks(const SFile& file, const SGeometry& geometry) {
    std::vector<uint64_t> blocks;
    uint32_t clusterSize = geometry.boot.clusterSize;
    uint32_t blockSize = geometry.boot.indxRecordSize;
    auto stream = file.Stream(AttrType::IndexAllocation, u"$I30", clusterSize);
    if (!stream || stream->resident || blockSize == 0) return blocks;
    for (const auto& [vcn, run] : stream->runs) {
        if (run.lcn == SparseLcn) continue;
        for (uint64_t at = 0; at + blockSize <= run.length * clusterSize; at += blockSize)
            if (vcn.value * clusterSize + at < stream->dataSize) blocks.push_back(run.lcn * clusterSize + at);
    }
    return blocks;
}

std::string Shape(const SFile& file) {
    std::string shape = std::to_string(file.base.flags) + ":" + std::to_string(file.extensions.size());
    for (const SAttribute* attribute : file.Attributes())
        shape += " " + AttributeLabel(attribute->type, attribute->name) + (attribute->nonResident ? "+" : "-");
    std::vector<SProblem> problems = file.base.problems;
    problems.insert(problems.end(), file.problems.begin(), file.problems.end());
    for (const SProblem& problem : problems) {
        shape += "|";
        for (char c : problem.message) shape += std::isdigit(static_cast<unsigned char>(c)) ? '#' : c;
    }
    return shape;
}

SFileParts FileParts(const SFile& file, const CMftAccess& mft, const SGeometry& geometry) {
    SFileParts parts;
    parts.number = file.Number();
    parts.sequence = file.base.sequence;
    parts.numbers.push_back(file.Number());
    parts.records.push_back(mft.ReadRaw(file.Number()));
    for (const SRecord& extension : file.extensions) {
        parts.numbers.push_back(extension.number);
        parts.records.push_back(mft.ReadRaw(extension.number));
    }
    parts.blocks = IndexBlocks(file, geometry);
    parts.shape = Shape(file);
    return parts;
}

}  // namespace

uint64_t SImageParts::RecordOffset(uint64_t number) const {
    uint64_t byte = number * recordSize;
    for (const auto& [vcn, run] : mftRuns) {
        uint64_t start = vcn.value * clusterSize;
        if (run.lcn != SparseLcn && byte >= start && byte + recordSize <= start + run.length * clusterSize)
            return run.lcn * clusterSize + (byte - start);
    }
    throw CException(EErrorKind::Corrupt, "Record %1 is not in one run of the MFT", number);
}

SImageParts TakeApart(const volkit::api::NtfsIoDevice& device) {
    CIoDeviceImpl io(device);
    CVolumeReader reader(io);
    CReport report([](const SProblem&) {});
    SGeometry geometry = CheckBootSectors(reader, report).front();
    reader.SetClusters(geometry.boot.clusterSize, geometry.clusterCount);
    CMftAccess mft(reader, geometry);
    SReadBudget budget{mft.RecordCount(), reader.DeviceSize()};
    SImageParts parts;
    parts.recordSize = geometry.boot.mftRecordSize;
    parts.blockSize = geometry.boot.indxRecordSize;
    parts.clusterSize = geometry.boot.clusterSize;
    parts.mftRuns = mft.Data().runs;
    for (uint64_t number = 0; number < mft.RecordCount(); ++number) {
        Bytes bytes;
        if (!mft.Read(number, bytes).empty() || !IsInUse(bytes)) continue;
        CollectNonResident(bytes, parts.nonResident);
        SRecord record = ParseRecord(bytes, number, geometry);
        if (!record.IsBase()) continue;
        SFile file = LoadFile(std::move(record), mft, reader, geometry, budget);
        parts.files.push_back(FileParts(file, mft, geometry));
    }
    return parts;
}

}  // namespace volcore::fuzz

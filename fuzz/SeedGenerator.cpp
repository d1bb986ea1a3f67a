// Makes the seed inputs of the fuzz targets:
//   volkit_fuzz_seeds OUTDIR [IMAGE...]
// OUTDIR/images gets small volumes formatted here and filled through both
// families, packed, plus the IMAGE files given (packed, when small enough);
// OUTDIR/records, runlists and index get the FILE records, non-resident
// attribute records and index blocks found in all of them, laid out the way
// the record and index targets place them; OUTDIR/paths gets a few paths;
// OUTDIR/lznt1, xpress and lzx get compressed chunks of text, machine code and
// noise (XPRESS and LZX from wimlib's compressors, where it is installed).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>

#include "BaseVolume.h"
#include "CodecInput.h"
#include "FuzzSupport.h"
#include "base/Bytes.h"
#include "codec/Lznt1.h"
#include "disk/RecordFormat.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/WimCompressor.h"
#include "volkit/filesystem.h"
#include "disk/Fixups.h"

using namespace volcore;
using namespace volkit::api;
using namespace volcore::fuzz;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSeedVolumeSize = (1u << 20) + 512;
constexpr size_t kMaxPackedImage = 640u << 10;  // scripts/fuzz.sh passes it as -max_len

void Save(const fs::path& directory, const std::string& stem, const Bytes& bytes) {
    std::string name = stem + "-" + std::to_string(std::hash<std::string>{}({bytes.begin(), bytes.end()}) % 100000);
    std::ofstream(directory / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void FillThroughHandles(Bytes& image) {
    CowDevice device(image);
    NtfsVolumeHandle volume;
    NtfsDirHandle dir;
    bool ok = NtfsOpenVolume(device.Api(), volume) && NtfsCreateDir(L"many", dir, volume) && NtfsCloseDir(dir);
    for (int n = 0; ok && n < 20; ++n) ok = PutFile(volume, L"many\\" + EntryName(n), n * 37 % 300);
    ok = ok && PutFile(volume, L"small.txt", 100) && PutFile(volume, L"large.bin", 20000);
    // A file that grows past a neighbour gets a second run.
    ok = ok && PutFile(volume, L"fragmented.bin", 3000) && PutFile(volume, L"neighbour.bin", 3000) &&
         ResizeFile(volume, L"fragmented.bin", 3000, 15000);
    ok = ok && NtfsCreateDir(L"docs", dir, volume) && NtfsCloseDir(dir) && NtfsCreateDir(L"docs\\2024", dir, volume) &&
         NtfsCloseDir(dir) && PutFile(volume, L"docs\\2024\\notes.txt", 50);
    if (!NtfsCloseVolume(volume) || !ok) throw std::runtime_error("the handle family cannot fill a seed volume");
    image = device.Bytes();
}

bool FamilyRead(uint64_t offset, void* buffer, uint64_t count, void* context) {
    auto* image = static_cast<Bytes*>(context);
    if (offset > image->size() || count > image->size() - offset) return false;
    std::memcpy(buffer, image->data() + offset, count);
    return true;
}

bool FamilyWrite(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    auto* image = static_cast<Bytes*>(context);
    if (offset > image->size() || count > image->size() - offset) return false;
    std::memcpy(image->data() + offset, buffer, count);
    return true;
}

bool FamilySize(uint64_t* size, void* context) {
    *size = static_cast<Bytes*>(context)->size();
    return true;
}

void FillThroughFamily(Bytes& image) {
    volkit::filesystem::device device{&image, &FamilyRead, &FamilyWrite, &FamilySize};
    volkit::filesystem::handle volume;
    volkit::file::handle handle;
    std::string text(6000, 'x');
    bool ok = volkit::filesystem::open(volume, device) && volkit::directory::create("linux", volume) &&
              volkit::file::create(handle, "linux/written by ntfs-3g.txt", volume) &&
              volkit::file::write(handle, 0, text.data(), text.size()) && volkit::file::close(handle);
    if (!volkit::filesystem::close(volume) || !ok) throw std::runtime_error("the filesystem family cannot fill a seed volume");
}

// Hard links (enough for an attribute list) and a DOS name, straight through libntfs-3g.
void FillThroughLibntfs(Bytes& image, const fs::path& scratch) {
    std::ofstream(scratch, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    {
        volcore::test::Ntfs3gTree ntfs(scratch.string());
        ntfs.MakeFile(u"\\linux\\Long File Name.txt", {'s', 'h', 'o', 'r', 't'});
        ntfs.SetDosName(u"\\linux\\Long File Name.txt", "LONGFI~1.TXT");
        for (int n = 0; n < 24; ++n)
            ntfs.Link(u"\\linux\\written by ntfs-3g.txt",
                      u"\\linux\\a hard link with a rather long name " + std::u16string(1, static_cast<char16_t>(u'A' + n)));
    }
    std::ifstream(scratch, std::ios::binary).read(reinterpret_cast<char*>(image.data()), image.size());
    fs::remove(scratch);
}

// Points the entries of a resident attribute list at the records' new numbers.
void RelocateList(const CByteWriter& record, const std::function<uint64_t(uint64_t)>& target) {
    CByteReader reader = record.Reader();
    size_t at = reader.U16(FileRecord::FirstAttribute);
    while (reader.U32(at + AttrRecord::Type) != AttrType::End) {
        if (reader.U32(at + AttrRecord::Type) == AttrType::AttributeList && reader.U8(at + AttrRecord::NonResident) == 0) {
            size_t entry = at + reader.U16(at + AttrRecord::ValueOffset);
            size_t end = entry + reader.U32(at + AttrRecord::ValueLength);
            while (entry < end) {
                uint64_t reference = reader.U64(entry + AttrListEntry::Reference);
                record.U64(entry + AttrListEntry::Reference,
                           MakeReference(target(RecordNumber(reference)), SequenceNumber(reference)));
                if (reader.U16(entry + AttrListEntry::Length) == 0) break;
                entry += reader.U16(entry + AttrListEntry::Length);
            }
        }
        if (reader.U32(at + AttrRecord::Length) == 0) break;
        at += reader.U32(at + AttrRecord::Length);
    }
}

// Moves a file's records to where the record target puts its input: the
// base record onto the base volume's "item", its extension records behind it.
Bytes Relocate(const SFileParts& file, const SBaseVolume& base) {
    auto target = [&](uint64_t number) -> uint64_t {
        for (size_t k = 0; k < file.numbers.size(); ++k)
            if (file.numbers[k] == number) return base.itemRecord + k;
        return number;
    };
    Bytes out;
    for (size_t k = 0; k < file.records.size(); ++k) {
        Bytes record = file.records[k];
        uint32_t size = static_cast<uint32_t>(record.size());
        CByteWriter writer(record);
        try {
            MstUnprotect(record, 1, size);
            writer.U32(FileRecord::RecordNumber, static_cast<uint32_t>(base.itemRecord + k));
            if (k == 0) writer.U16(FileRecord::SequenceNumber, base.itemSequence);
            else writer.U64(FileRecord::BaseReference, MakeReference(base.itemRecord, base.itemSequence));
            if (k == 0) RelocateList(writer, target);
            MstProtect(record, 1, size);
        } catch (const CException&) {
            record = file.records[k];  // damaged: kept as it was
        }
        out.insert(out.end(), record.begin(), record.end());
    }
    return out;
}

// The widths of each mapping pair's length and offset: lists of one shape
// take the same paths through the decoder and the encoder.
std::string RunlistShape(const Bytes& attribute) {
    CByteReader reader(attribute);
    std::string shape = "runs";
    size_t at = reader.U16(AttrRecord::MappingPairsOffset);
    shape += reader.U64(AttrRecord::LowestVcn) == 0 ? " base" : " extent";
    while (at < attribute.size() && attribute[at] != 0) {
        shape += " " + std::to_string(attribute[at]);
        at += 1 + (attribute[at] & 0x0F) + (attribute[at] >> 4);
    }
    return shape;
}

// Files of a shape already seen are left out: the shared corpus holds dozens
// of copies of the same system files.
void TakeSeeds(const NtfsIoDevice& device, const std::string& stem, const fs::path& out, const SBaseVolume& base,
               std::set<std::string>& seen) {
    SImageParts parts = TakeApart(device);
    for (const SFileParts& file : parts.files) {
        if (!seen.insert(file.shape).second) continue;
        if (file.records.size() <= kItemRecords && parts.recordSize == base.parts.recordSize)
            Save(out / "records", stem, Relocate(file, base));
        if (parts.blockSize != base.parts.blockSize || file.blocks.empty()) continue;
        Bytes blocks(std::min(file.blocks.size(), base.dirBlocks.size()) * parts.blockSize);
        for (size_t k = 0; k * parts.blockSize < blocks.size(); ++k)
            device.read(file.blocks[k], blocks.data() + k * parts.blockSize, parts.blockSize, device.context);
        Save(out / "index", stem, blocks);
    }
    for (const Bytes& attribute : parts.nonResident)
        if (seen.insert(RunlistShape(attribute)).second) Save(out / "runlists", stem, attribute);
}

void WritePaths(const fs::path& out) {
    const std::u16string paths[] = {u"plain.txt", u"a\\b\\c", u"\\\\lead\\\\trail\\\\", u"..\\.\\x",
                                    u"Grüße\\名前.txt", u"\U0001F600 emoji", u"\xD800 lone"};
    for (const std::u16string& path : paths) {
        Bytes bytes;
        for (char16_t unit : path) {
            bytes.push_back(static_cast<uint8_t>(unit));
            bytes.push_back(static_cast<uint8_t>(unit >> 8));
        }
        Save(out / "paths", "utf16", bytes);
    }
    for (std::string text : {"docs/a/../b/./c.txt", "Gr\xC3\xBC\xC3\x9F" "e", "\xF0\x9F\x98\x80", "\xC0\xAF"})
        Save(out / "paths", "utf8", Bytes(text.begin(), text.end()));
}

Bytes MakeSeedVolume(uint32_t clusterSize, const fs::path& scratch) {
    Bytes image(kSeedVolumeSize);
    if (!FormatImage(image, clusterSize)) throw std::runtime_error("cannot format a seed volume");
    FillThroughHandles(image);
    FillThroughFamily(image);
    FillThroughLibntfs(image, scratch);
    return image;
}

void AddImage(const NtfsIoDevice& device, const Bytes* image, const std::string& stem, const fs::path& out,
              const SBaseVolume& base, std::set<std::string>& seen) {
    Bytes packed = image ? PackImage(*image) : Bytes();
    if (image && packed.size() <= kMaxPackedImage) Save(out / "images", stem, packed);
    try {
        TakeSeeds(device, stem, out, base, seen);
    } catch (const std::exception& e) {
        std::cerr << stem << ": no records, runlists or index blocks taken: " << e.what() << "\n";
    }
}

void AddImage(const Bytes& image, const std::string& stem, const fs::path& out, const SBaseVolume& base,
              std::set<std::string>& seen) {
    CowDevice device(image);
    AddImage(device.Api(), &image, stem, out, base, seen);
}

// Images too large to unpack from a fuzz input still give their parts.
void AddImageFile(const fs::path& path, const fs::path& out, const SBaseVolume& base, std::set<std::string>& seen) {
    volcore::test::FileDevice device(path.string());
    Bytes image;
    if (fs::file_size(path) <= kMaxImageSize) {
        image.resize(fs::file_size(path));
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(image.data()), image.size());
    }
    AddImage(device.Api(), image.empty() ? nullptr : &image, path.stem().string(), out, base, seen);
}

// Text, this program's own machine code and noise, cut to `size` bytes.
std::vector<Bytes> CodecSamples(size_t size, const char* program) {
    Bytes text;
    for (unsigned n = 0; text.size() < size; ++n) {
        std::string line = "cluster " + std::to_string(n * 7919 % 1000) + " of record " + std::to_string(n % 37) + "\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    text.resize(size);
    Bytes code(size);
    std::ifstream(program, std::ios::binary).seekg(8192).read(reinterpret_cast<char*>(code.data()), size);
    Bytes noise(size);
    for (size_t i = 0; i < size; ++i) noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    Bytes mixed = text;
    std::copy(noise.begin(), noise.begin() + size / 4, mixed.begin() + size / 2);
    return {text, code, noise, mixed};
}

void WriteCodecSeeds(const fs::path& out, const char* program) {
    for (size_t size : {size_t{65536}, size_t{5000}}) {
        for (const Bytes& sample : CodecSamples(size, program)) Save(out / "lznt1", "lznt1", JoinCodecInput(size, Lznt1Compress(sample)));
    }
    if (!volcore::test::WimCompressor::Available()) return;
    struct { volcore::test::WimCodec codec; const char* name; size_t chunk; } kinds[] = {
        {volcore::test::WimCodec::Xpress, "xpress", 4096}, {volcore::test::WimCodec::Xpress, "xpress", 16384},
        {volcore::test::WimCodec::Lzx, "lzx", 32768}};
    for (const auto& kind : kinds) {
        const volcore::test::WimCompressor compressor(kind.codec, kind.chunk);
        for (size_t size : {kind.chunk, kind.chunk / 3}) {
            for (const Bytes& sample : CodecSamples(size, program)) {
                if (auto stream = compressor.Compress(sample)) Save(out / kind.name, kind.name, JoinCodecInput(size, *stream));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "Usage: volkit_fuzz_seeds OUTDIR [IMAGE...]\n";
        return 2;
    }
    SilenceLog();
    fs::path out = argv[1];
    for (const char* kind : {"images", "records", "runlists", "index", "paths", "lznt1", "xpress", "lzx"})
        fs::create_directories(out / kind);
    try {
        const SBaseVolume& base = BaseVolume();
        std::set<std::string> seen;
        AddImage(base.image, "base", out, base, seen);
        for (uint32_t clusterSize : {4096u, 1024u, 512u}) {
            Bytes image = MakeSeedVolume(clusterSize, out / "scratch.img");
            AddImage(image, "made" + std::to_string(clusterSize), out, base, seen);
        }
        for (int i = 2; i < argc; ++i) AddImageFile(argv[i], out, base, seen);
        WritePaths(out);
        WriteCodecSeeds(out, argv[0]);
    } catch (const std::exception& e) {
        std::cerr << "volkit_fuzz_seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

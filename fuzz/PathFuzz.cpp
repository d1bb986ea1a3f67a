// The input is text: read as UTF-8 by both families' decoders and as UTF-16
// by the handle family's path rules, then used as a path to create, find and
// delete a file and a directory in a directory whose index has several blocks.
// What the rules accept must round-trip, and what a create accepts must be
// found again by that path and listed under that name.
#include <stdexcept>
#include <string>

#include "BaseVolume.h"
#include "FuzzSupport.h"
#include "base/Exception.h"
#include "base/Unicode.h"
#include "objects/Directory.h"
#include "disk/UpCase.h"
#include "ntfs3g/PathRules.h"

using namespace volcore;
using namespace volkit::api;
using namespace volcore::fuzz;

namespace {

void Utf8RoundTrip(const std::string& text) {
    std::u16string units;
    try {
        units = Utf8ToUtf16(text);
    } catch (const CException&) {
        return;
    }
    if (Utf16ToUtf8(units) != text) Finding("accepted UTF-8 does not come back from UTF-16 unchanged");
}

void FamilyPathRules(const std::string& text) {
    try {
        auto split = volcore::fsfamily::SplitParentAndName(volcore::fsfamily::NormalizePath(text.c_str()));
        if (split.name.empty() || split.name == "." || split.name == ".." || split.name.find('/') != std::string::npos)
            Finding("a split path ends in an element that is no name");
        volcore::fsfamily::ConvertNewName(split.name);
    } catch (const std::runtime_error&) {
    }
}

void HandlePathRules(const std::u16string& path) {
    std::vector<std::u16string> components = SplitPath(path);
    for (const auto& component : components)
        if (component.empty() || component.find(u'\\') != std::u16string::npos) Finding("a path component is no name");
    if (SplitPath(JoinPath(components)) != components) Finding("joined components split differently");
    bool valid = Utf8ToUtf16(Utf16ToUtf8(path)) == path;
    if (valid && WideToUtf16(Utf16ToWide(path)) != path) Finding("valid UTF-16 does not survive wchar_t");
}

void Collation(const std::u16string& a, const std::u16string& b, const UpCaseTable& table) {
    for (auto compare : {&CompareIgnoreCase, &CompareFileNames}) {
        ECollation ab = compare(a, b, table);
        ECollation ba = compare(b, a, table);
        bool mirrored = ab == ECollation::Equal ? ba == ECollation::Equal : ab != ba && ba != ECollation::Equal;
        if (!mirrored) Finding("collation is not antisymmetric");
    }
    if ((CompareFileNames(a, b, table) == ECollation::Equal) != (a == b))
        Finding("the file-name order calls two different names equal");
}

UpCaseTable VolumeUpCase() {
    const Bytes& image = BaseVolume().image;
    CowDevice device(image);
    NtfsVolumeHandle volume;
    NtfsFileHandle file;
    unsigned long long size = 0;
    Bytes bytes;
    if (NtfsOpenVolume(device.Api(), volume) && NtfsOpenFile(L"$UpCase", file, volume) && NtfsGetFileSize(size, file)) {
        bytes.resize(size);
        if (!NtfsReadFile(0, bytes.data(), static_cast<unsigned>(size), file)) bytes.clear();
        NtfsCloseFile(file);
    }
    if (volume.ptr) NtfsCloseVolume(volume);
    if (bytes.empty()) throw std::runtime_error("cannot read the upcase table");
    return BuildUpCaseTable(bytes);
}

bool Listed(NtfsVolumeHandle volume, const std::wstring& parent, const std::wstring& name) {
    NtfsDirHandle dir;
    if (!NtfsOpenDir(parent.c_str(), dir, volume)) return false;
    std::pair<const std::wstring*, bool> search{&name, false};
    NtfsEnumDir(dir, [](const NtfsDirEntry& entry, void* context) {
        auto* s = static_cast<std::pair<const std::wstring*, bool>*>(context);
        s->second = s->second || (entry.name && *s->first == entry.name);
        return !s->second;
    }, &search);
    NtfsCloseDir(dir);
    return search.second;
}

// Creates `path` below "dir" as a file and as a directory; whatever was made
// must be found by the same path and listed by its last component.
void CreateAndFind(const std::u16string& path) {
    std::wstring wide = L"dir\\" + Utf16ToWide(path);
    CowDevice device(BaseVolume().image);
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(device.Api(), volume)) Finding("the base volume does not open");
    NtfsFileHandle file;
    NtfsDirHandle dir;
    if (NtfsCreateFile(wide.c_str(), file, volume)) {
        NtfsCloseFile(file);
        if (!NtfsOpenFile(wide.c_str(), file, volume)) Finding("a file just created cannot be opened by its path");
        if (!NtfsDeleteFile(file)) Finding("a file just created cannot be deleted");
    }
    if (NtfsCreateDir(wide.c_str(), dir, volume)) {
        NtfsCloseDir(dir);
        SParentAndName parts = SplitLastComponent(WideToUtf16(wide));
        if (!Listed(volume, Utf16ToWide(parts.parentPath), Utf16ToWide(parts.name)))
            Finding("a directory just created is not listed by its name");
    }
    NtfsCloseVolume(volume);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    BaseVolume();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const UpCaseTable upcase = VolumeUpCase();
    std::string text(reinterpret_cast<const char*>(data), size);
    Utf8RoundTrip(text);
    FamilyPathRules(text);
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    HandlePathRules(units);
    Collation(units.substr(0, units.size() / 2), units.substr(units.size() / 2), upcase);
    CreateAndFind(units.c_str());  // the exported calls take zero-terminated paths
    return 0;
}

// The input is a packed volume image (FuzzSupport.h). The handle family makes
// a directory and files in it, writes, grows, shrinks and deletes them, changes
// files that were already there, and closes the volume; the check examines the
// result. Whatever the bytes, nothing may crash or leak. When the check found
// no damage before and every call succeeded, the check must find none after
// either, and the volume must reopen with every file as it was written.
#include <map>
#include <string>
#include <vector>

#include "BaseVolume.h"
#include "FuzzSupport.h"
#include "volkit/check.h"

using namespace volkit::api;
using namespace volcore::fuzz;

namespace {

using Expected = std::map<std::wstring, size_t>;  // path and size; the bytes are PutFile's

bool Delete(NtfsVolumeHandle volume, const std::wstring& path) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path.c_str(), file, volume)) return false;
    if (NtfsDeleteFile(file)) return true;
    NtfsCloseFile(file);
    return false;
}

// The first few names in the root that are not system files.
std::vector<NtfsDirEntry> RootEntries(NtfsVolumeHandle volume, std::vector<std::wstring>& names) {
    std::vector<NtfsDirEntry> entries;
    NtfsDirHandle root;
    if (!NtfsOpenDir(L"", root, volume)) return entries;
    std::pair<std::vector<NtfsDirEntry>*, std::vector<std::wstring>*> out{&entries, &names};
    NtfsEnumDir(root, [](const NtfsDirEntry& entry, void* context) {
        auto* o = static_cast<decltype(out)*>(context);
        if (entry.name && entry.name[0] != L'$' && entry.name[0] != L'.' && entry.nameSpace != 2) {
            o->first->push_back(entry);
            o->second->push_back(entry.name);
        }
        return o->first->size() < 4;
    }, &out);
    NtfsCloseDir(root);
    return entries;
}

// Changes what the volume held already; no promise is made about the result.
void ChangeExisting(NtfsVolumeHandle volume) {
    std::vector<std::wstring> names;
    std::vector<NtfsDirEntry> entries = RootEntries(volume, names);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].isDirectory) PutFile(volume, names[i] + L"\\added", 300);
        else if (i % 2 == 0) ResizeFile(volume, names[i], entries[i].dataSize, entries[i].dataSize + 5000);
        else Delete(volume, names[i]);
    }
}

bool MakeNew(NtfsVolumeHandle volume, Expected& expected) {
    NtfsDirHandle dir;
    if (!NtfsCreateDir(L"fuzz", dir, volume) || !NtfsCloseDir(dir)) return false;
    const size_t sizes[] = {10, 700, 5000, 30000, 0, 2000};
    bool ok = true;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::wstring path = L"fuzz\\file " + std::to_wstring(i);
        ok = PutFile(volume, path, sizes[i]) && ok;
        expected[path] = sizes[i];
    }
    ok = ResizeFile(volume, L"fuzz\\file 1", 700, 9000) && ResizeFile(volume, L"fuzz\\file 3", 30000, 100) && ok;
    ok = ResizeFile(volume, L"fuzz\\file 0", 10, 12000) && Delete(volume, L"fuzz\\file 2") && ok;
    expected[L"fuzz\\file 1"] = 9000;
    expected[L"fuzz\\file 3"] = 100;
    expected[L"fuzz\\file 0"] = 12000;
    expected.erase(L"fuzz\\file 2");
    return ok;
}

void ReadBack(const NtfsIoDevice& api, const Expected& expected) {
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(api, volume)) Finding("a volume closed without a failure does not open again");
    for (const auto& [path, size] : expected) {
        NtfsFileHandle file;
        unsigned long long actual = 0;
        if (!NtfsOpenFile(path.c_str(), file, volume)) Finding("a file written without a failure is gone");
        Bytes bytes(size);
        if (!NtfsGetFileSize(actual, file) || actual != size ||
            (size > 0 && !NtfsReadFile(0, bytes.data(), static_cast<unsigned>(size), file)))
            Finding("a file written without a failure does not read back");
        for (size_t i = 0; i < size; ++i)
            if (bytes[i] != static_cast<uint8_t>(i)) Finding("a file written without a failure reads back changed");
        NtfsCloseFile(file);
    }
    NtfsCloseVolume(volume);
}

uint64_t Damage(const NtfsIoDevice& api) {
    NtfsCheckSummary summary;
    if (!NtfsCheckVolume(api, nullptr, nullptr, summary) || !summary.complete) return ~uint64_t{0};
    return summary.damage;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes image = UnpackImage({data, size});
    CowDevice device(image);
    NtfsIoDevice api = device.Api();
    bool clean = Damage(api) == 0;
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(api, volume)) return 0;
    Expected expected;
    bool ok = MakeNew(volume, expected);
    ChangeExisting(volume);
    ok = NtfsCloseVolume(volume) && ok;
    uint64_t damage = Damage(api);
    if (!clean || !ok) return 0;
    if (damage != 0) Finding("the engine damaged a volume the check found clean");
    ReadBack(api, expected);
    return 0;
}

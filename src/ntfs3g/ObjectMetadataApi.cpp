// Security descriptors and reparse points, set by path.
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/PathRules.h"
#include "ntfs3g/ReparseWriter.h"
#include "ntfs3g/SecurityDescriptor.h"
#include "ntfs3g/WofFile.h"

namespace volcore::fsfamily {
namespace {

// libntfs-3g's descriptor API bound to an already mounted volume, with no
// user mapping; releases whatever libntfs-3g caches in it.
class CSecurityApi {
public:
    explicit CSecurityApi(ntfs_volume* volume) {
        m_api.magic = MAGIC_API;
        m_api.security.vol = volume;
        m_api.security.pseccache = &m_api.seccache;
    }
    ~CSecurityApi() { ntfs_destroy_security_context(&m_api.security); }
    CSecurityApi(const CSecurityApi&) = delete;
    CSecurityApi& operator=(const CSecurityApi&) = delete;

    SECURITY_API* Get() { return &m_api; }

private:
    SECURITY_API m_api{};
};

// libntfs-3g's copy of the object's descriptor; empty when it has none.
std::vector<uint8_t> CurrentDescriptor(CSecurityApi& api, ntfs_inode* inode) {
    const int size = ntfs_get_ntfs_acl(&api.Get()->security, inode, nullptr, 0);
    if (size <= 0) return {};
    std::vector<uint8_t> current(static_cast<size_t>(size));
    if (ntfs_get_ntfs_acl(&api.Get()->security, inode, reinterpret_cast<char*>(current.data()), current.size()) != size)
        return {};
    return current;
}

// The object a metadata call changes, never one of the volume's own files.
SReachedObject ChangeableObject(volkit::filesystem::handle volume, const std::string& normalized) {
    SReachedObject target = ReachPath(MountOf(volume).inodes, normalized);
    if (!target.inode) Fail("file not found");
    if (target.system) Fail("cannot change a system file");
    PrepareChange(VolumeOf(volume));
    return target;
}

void SetSecurity(const char* path, uint32_t selection, const void* descriptor, volkit::filesystem::handle volume) {
    const std::string normalized = NormalizePath(path);
    ntfs_volume* mounted = VolumeOf(volume);
    SReachedObject target = ChangeableObject(volume, normalized);
    const std::vector<uint8_t> given = CopyDescriptor(descriptor);
    CSecurityApi api(mounted);
    const std::vector<uint8_t> merged =
        MergeDescriptor(CurrentDescriptor(api, target.inode.Get()), given, selection);
    if (ntfs_set_ntfs_acl(&api.Get()->security, target.inode.Get(), reinterpret_cast<const char*>(merged.data()),
                          merged.size(), 0) != 0)
        Fail("failed to set file security");
    target.inode.Close("failed to close inode");
}

void SetReparse(const char* path, const void* data, uint32_t size, volkit::filesystem::handle volume) {
    const std::string normalized = NormalizePath(path);
    SReachedObject target = ChangeableObject(volume, normalized);
    // The WOF reparse point says how the file's data is compressed: replaced,
    // the data would read as zeros from then on.
    if (IsSystemCompressed(target.inode.Get()))
        Fail("cannot change a system-compressed (WOF) file: its data can only be read");
    if (SetReparseAlways(target.inode.Get(), data, size) != 0) Fail("failed to set reparse data");
    target.inode.Close("failed to close inode");
}

}  // namespace
}  // namespace volcore::fsfamily

namespace volkit {

bool file::setFileSecurity(const char* path, uint32_t selection, const void* descriptor, filesystem::handle volume) {
    return volcore::fsfamily::RunReported([&] { volcore::fsfamily::SetSecurity(path, selection, descriptor, volume); });
}

bool file::setReparseData(const char* path, const void* data, uint32_t size, filesystem::handle volume) {
    return volcore::fsfamily::RunReported([&] { volcore::fsfamily::SetReparse(path, data, size, volume); });
}

}  // namespace volkit

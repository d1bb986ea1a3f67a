// Security descriptors and reparse points, set by path.
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/PathRules.h"
#include "ntfs3g/ReparseWriter.h"

namespace volkit::fsfamily {
namespace {

// libntfs-3g's descriptor API bound to an already mounted volume, with no
// user mapping; releases whatever libntfs-3g caches in it.
class securityApi {
public:
    explicit securityApi(ntfs_volume* volume) {
        m_api.magic = MAGIC_API;
        m_api.security.vol = volume;
        m_api.security.pseccache = &m_api.seccache;
    }
    ~securityApi() { ntfs_destroy_security_context(&m_api.security); }
    securityApi(const securityApi&) = delete;
    securityApi& operator=(const securityApi&) = delete;

    SECURITY_API* Get() { return &m_api; }

private:
    SECURITY_API m_api{};
};

void SetSecurity(const char* path, uint32_t selection, const void* descriptor, filesystem::handle volume) {
    const std::string normalized = normalizePath(path);
    securityApi api(VolumeOf(volume));
    if (descriptor == nullptr ||
        ntfs_set_file_security(api.Get(), normalized.c_str(), selection, static_cast<const char*>(descriptor)) == 0)
        Fail("failed to set file security");
}

void SetReparse(const char* path, const void* data, uint32_t size, filesystem::handle volume) {
    const std::string normalized = normalizePath(path);
    ntfs_volume* mounted = VolumeOf(volume);
    InodeRef inode = LookUpInode(mounted, normalized);
    if (!inode) Fail("file not found");
    const int result = setReparseAlways(inode.get(), data, size);
    ntfs_inode_close(inode.release());
    if (result != 0) Fail("failed to set reparse data");
}

}  // namespace
}  // namespace volkit::fsfamily

namespace volkit {

bool file::setFileSecurity(const char* path, uint32_t selection, const void* descriptor, filesystem::handle volume) {
    return fsfamily::RunReported([&] { fsfamily::SetSecurity(path, selection, descriptor, volume); });
}

bool file::setReparseData(const char* path, const void* data, uint32_t size, filesystem::handle volume) {
    return fsfamily::RunReported([&] { fsfamily::SetReparse(path, data, size, volume); });
}

}  // namespace volkit

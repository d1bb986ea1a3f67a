// file:: operations on data, attributes and times.
#include <limits>

#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/Streams.h"
#include "ntfs3g/WofFile.h"

namespace volcore::fsfamily {
namespace {

// Read-only, hidden, archive and not-content-indexed: the flags a caller may
// change. The rest describe what the file is and must keep agreeing with it.
constexpr uint32_t kCallerSettableFlags = 0x2023;

bool FitsSigned(uint64_t value) { return value <= static_cast<uint64_t>(std::numeric_limits<s64>::max()); }

// libntfs-3g hands out a named stream when no unnamed one exists; that is not
// the file's data.
ntfs_attr* OpenUnnamedData(ntfs_inode* inode) {
    ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
    if (data != nullptr && data->name_len != 0) {
        ntfs_attr_close(data);
        return nullptr;
    }
    return data;
}

ntfs_attr& DataForReading(const SHandleTarget& opened) {
    SHeldInode& held = *opened.held;
    if (opened.stream != nullptr) return StreamData(held, *opened.stream);
    ntfs_inode* inode = LiveInode(held);
    if (held.data == nullptr) {
        held.data = OpenUnnamedData(inode);
        if (held.data == nullptr) Fail("failed to open data attribute");
        held.wof = OpenSystemCompressed(inode, static_cast<uint64_t>(held.data->data_size));
    }
    return *held.data;
}

// Writing to a file without a data stream gives it an empty one first; a
// directory never gets one, since other implementations would take it for damage.
ntfs_attr& DataForWriting(const SHandleTarget& opened) {
    SHeldInode& held = *opened.held;
    ntfs_inode* inode = ChangeableInode(held);
    if (opened.stream != nullptr) {
        CheckStreamChangeable(inode, opened.stream->name);
        return StreamData(held, *opened.stream);
    }
    // Windows turns such a file back into an ordinary one before changing
    // it; written through libntfs-3g, its data would be lost.
    if (held.wof != nullptr || IsSystemCompressed(inode))
        Fail("cannot change a system-compressed (WOF) file: its data can only be read");
    if (held.data == nullptr) held.data = OpenUnnamedData(inode);
    if (held.data == nullptr) {
        if (IsDirectoryRecord(inode)) Fail("failed to open data attribute");
        if (ntfs_attr_add(inode, AT_DATA, AT_UNNAMED, 0, nullptr, 0) != 0) Fail("failed to open data attribute");
        held.data = OpenUnnamedData(inode);
        if (held.data == nullptr) Fail("failed to open data attribute");
    }
    return *held.data;
}

// The object's flags and times; the size is that of the stream the handle
// was opened on.
volkit::file::attributes CurrentAttributes(const SHandleTarget& opened) {
    SHeldInode& held = *opened.held;
    ntfs_inode* inode = LiveInode(held);
    return AttributesOf(inode, opened.stream != nullptr ? &StreamData(held, *opened.stream) : held.data);
}

ntfs_time StoredTime(uint64_t time) { return cpu_to_sle64(time); }

// A handle for the caller, unless a device transfer failed on the way: the
// call then fails, and a handle it does not hand out must not stay open.
void* HandOut(const char* path, EOpenDisposition disposition, volkit::filesystem::handle volume) {
    const CTransferWatch transfers;
    void* opened = RegisterHandle(volume, OpenFileOrStream(path, disposition, volume));
    if (!transfers.Failed()) return opened;
    CloseOpenFile(volkit::file::handle{opened});
    Fail(disposition == EOpenDisposition::CreateNew ? "failed to create file" : "failed to open file");
}

}  // namespace
}  // namespace volcore::fsfamily

namespace volkit {

using namespace volcore::fsfamily;

bool file::open(handle& result, const char* path, filesystem::handle volume) {
    return RunReported([&] { result.ptr = HandOut(path, EOpenDisposition::OpenExisting, volume); });
}

bool file::create(handle& result, const char* path, filesystem::handle volume) {
    return RunReported([&] { result.ptr = HandOut(path, EOpenDisposition::CreateNew, volume); });
}

bool file::remove(const char* path, filesystem::handle volume) {
    return RunReported([&] { RemoveFileOrStream(path, volume); });
}

bool file::close(handle h) {
    return RunReported([&] { CloseOpenFile(h); });
}

bool file::read(handle h, uint64_t offset, void* buffer, uint32_t count) {
    return RunReported([&] {
        const SHandleTarget opened = OpenHandleOf(h);
        ntfs_attr& data = DataForReading(opened);
        if (opened.stream == nullptr && opened.held->wof != nullptr) {
            const auto size = static_cast<uint64_t>(data.data_size);
            if (buffer == nullptr || count > size || offset > size - count) Fail("failed to read data");
            if (count != 0) opened.held->wof->Read(offset, static_cast<uint8_t*>(buffer), count);
            return;
        }
        s64 done = -1;
        if (buffer != nullptr && FitsSigned(offset)) done = ntfs_attr_pread(&data, static_cast<s64>(offset), count, buffer);
        if (done != static_cast<s64>(count)) Fail("failed to read data");
    });
}

bool file::write(handle h, uint64_t offset, const void* buffer, uint32_t count) {
    return RunReported([&] {
        ntfs_attr& data = DataForWriting(OpenHandleOf(h));
        if (count == 0) return;
        s64 done = -1;
        if (buffer != nullptr && FitsSigned(offset)) done = ntfs_attr_pwrite(&data, static_cast<s64>(offset), count, buffer);
        if (done != static_cast<s64>(count)) Fail("failed to write data");
    });
}

bool file::setSize(handle h, uint64_t size) {
    return RunReported([&] {
        ntfs_attr& data = DataForWriting(OpenHandleOf(h));
        if (!FitsSigned(size) || ntfs_attr_truncate_solid(&data, static_cast<s64>(size)) != 0)
            Fail("failed to set attr size");
    });
}

bool file::getSize(handle h, uint64_t& size) {
    return RunReported([&] { size = CurrentAttributes(OpenHandleOf(h)).size; });
}

bool file::getAttributes(handle h, attributes& result) {
    return RunReported([&] { result = CurrentAttributes(OpenHandleOf(h)); });
}

bool file::setAttributes(handle h, const attributes& value) {
    return RunReported([&] {
        ntfs_inode* inode = ChangeableInode(OpenFileOf(h));
        const uint32_t kept = InodeFlags(inode) & ~kCallerSettableFlags;
        SetInodeFlags(inode, kept | (value.fileAttributes & kCallerSettableFlags));
        inode->creation_time = StoredTime(value.creationTime);
        inode->last_access_time = StoredTime(value.lastAccessTime);
        inode->last_data_change_time = StoredTime(value.lastWriteTime);
        // Written back at close into $STANDARD_INFORMATION and the index
        // entries of every name, with exactly these times.
        NInoSetDirty(inode);
        NInoFileNameSetDirty(inode);
        clear_nino_flag(inode, TimesSet);
    });
}

}  // namespace volkit

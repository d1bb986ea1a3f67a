#include "api/StampApi.h"

#include "disk/RecordFormat.h"

namespace volcore {

void StampObject(CFsObject& object, const volkit::api::NtfsAttributesAndTime& values, uint32_t addedAttributes) {
    StandardInformation info = object.GetAttributesAndTime();
    const uint32_t storage = CByteReader(info.data(), info.size()).U32(StdInfo::FileAttributes) & kStorageFileAttributes;
    CByteWriter out(info.data(), info.size());
    // The reparse-point flag says what the record holds: no caller sets or clears it.
    addedAttributes |= out.Reader().U32(StdInfo::FileAttributes) & kFileAttributeReparsePoint;
    out.U64(StdInfo::CreationTime, values.creationTime);
    out.U64(StdInfo::ModificationTime, values.lastWriteTime);
    out.U64(StdInfo::AccessTime, values.lastAccessTime);
    out.U32(StdInfo::FileAttributes, (values.attributes & kSettableFileAttributes) | addedAttributes | storage);
    object.SetAttributesAndTime(info);
}

}  // namespace volcore

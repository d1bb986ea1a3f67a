#pragma once
// The three ways the benchmark reaches a volume, behind one interface: the
// native engine (handle family), libntfs-3g called directly, and the
// filesystem family over libntfs-3g. Every failure throws std::runtime_error,
// so that no workload can report a figure for work that did not happen.
#include <cstdint>
#include <memory>
#include <string>

#include "BenchSupport.h"

namespace volcore::bench {

// A path in the forms the engines take: "/a/b" and L"a\\b".
struct SPath {
    explicit SPath(const std::string& slashPath);
    std::string utf8;
    std::wstring wide;
    std::string parent;  // "/" for a name in the root
    std::string name;
};

enum class EListing { Names, Details };

class IEngine {
public:
    virtual ~IEngine() = default;
    virtual const char* Name() const = 0;

    // One mounted volume at a time, over the image bytes or an image file.
    virtual void Mount(SMemoryImage& image) = 0;
    virtual void MountFile(const std::string& path) = 0;
    virtual void Unmount() = 0;

    virtual void* OpenFile(const SPath& path) = 0;
    virtual void* CreateFile(const SPath& path) = 0;
    virtual void CloseFile(void* file) = 0;
    virtual void CreateDirectory(const SPath& path) = 0;
    virtual void Read(void* file, uint64_t offset, void* buffer, uint32_t length) = 0;
    // Writes at the end of the file, growing it.
    virtual void Append(void* file, uint64_t offset, const void* buffer, uint32_t length) = 0;
    virtual void Truncate(void* file) = 0;
    // Entries in the directory's index, without "." and "..". With
    // EListing::Details every entry's sizes and times are read too, the way a
    // listing with sizes gets them from each engine (they feed a checksum so
    // that the reads cannot be left out).
    virtual uint64_t CountEntries(const SPath& directory, EListing listing = EListing::Names) = 0;
};

enum class EEngine { Ntfs3g, Native, Family };

std::unique_ptr<IEngine> MakeEngine(EEngine kind);

}  // namespace volcore::bench

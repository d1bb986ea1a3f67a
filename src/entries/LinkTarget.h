#pragma once
// Symbolic links and junctions as Windows stores them (a reparse point whose
// data names the target twice: the substitute name the system follows and
// the print name it shows), and the Interix form libntfs-3g writes by
// default (a system file whose data holds the target).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace volcore {

class CFileEntry;

enum class ELinkKind : uint32_t { None = 0, Symlink = 1, Junction = 2, Interix = 3 };

struct SLinkTarget {
    ELinkKind kind = ELinkKind::None;
    uint32_t tag = 0;       // the reparse tag; 0 for an Interix link
    bool relative = false;  // the target is relative to the link's directory
    std::u16string substitute;  // as stored ("\??\C:\dir", "..\a"; an Interix target as it is, "../a")
    std::u16string print;       // as Windows shows it ("C:\dir"); the substitute name when the link has none
};

// What the entry links to; kind None for any other object (another reparse
// tag too). A damaged link raises "Reparse point of record %1 is damaged: %2".
SLinkTarget ReadLinkTarget(const CFileEntry& entry);

// The $REPARSE_POINT value of a symbolic link to `target` (slashes become
// backslashes): a target starting with a drive ("C:\") or "\\server" is
// absolute, "\??\..." is taken as the substitute name, anything else is
// relative to the link's directory, as Windows flags it.
std::vector<uint8_t> BuildSymlinkReparse(std::u16string_view target);

}  // namespace volcore

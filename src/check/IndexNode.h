#pragma once
// The entries of one index node (the root's or an INDX block's), read with
// every length checked.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "disk/Types.h"

namespace volcore::check {

struct SNodeEntry {
    bool isEnd = false;
    bool hasChild = false;
    uint64_t childVcn = 0;
    FileReference reference = 0;
    FileReference parent = 0;
    uint32_t fileAttributes = 0;
    uint64_t allocatedSize = 0;  // the entry's copies of the file's sizes
    uint64_t dataSize = 0;
    uint8_t nameSpace = 0;
    std::u16string name;
};

struct SNode {
    bool large = false;  // the header says its entries have children
    std::vector<SNodeEntry> entries;
    std::string error;  // the first thing wrong; `entries` holds what came before it

    bool HasChildren() const;
    // Some entries have children and some have not, or the header disagrees.
    bool IsMixed() const;
};

// `node` starts at the index header and spans the bytes the node may use;
// `exactSize` asks for an allocated size that fills them (INDX blocks).
SNode ParseNode(const CByteReader& node, bool exactSize);

}  // namespace volcore::check

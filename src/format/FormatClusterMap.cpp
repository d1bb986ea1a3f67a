#include "format/FormatClusterMap.h"

#include <algorithm>
#include <iterator>

#include "base/Exception.h"

namespace volcore::format {
namespace {

void SetBits(std::span<uint8_t> out, uint64_t firstBit, uint64_t from, uint64_t to) {
    from = std::max(from, firstBit);
    to = std::min(to, firstBit + out.size() * 8);
    for (uint64_t bit = from; bit < to; ++bit)
        out[(bit - firstBit) / 8] = static_cast<uint8_t>(out[(bit - firstBit) / 8] | (1u << (bit % 8)));
}

}  // namespace

std::map<uint64_t, uint64_t>::const_iterator CClusterMap::FirstEndingAfter(uint64_t lcn) const {
    auto next = m_taken.upper_bound(lcn);
    if (next != m_taken.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second > lcn) return previous;
    }
    return next;
}

bool CClusterMap::InUse(uint64_t lcn) const {
    if (lcn >= m_clusterCount) return true;
    auto range = FirstEndingAfter(lcn);
    return range != m_taken.end() && range->first <= lcn;
}

void CClusterMap::Take(uint64_t lcn, uint64_t length) {
    // Joins a range that ends right here, so that the map stays small.
    auto next = m_taken.lower_bound(lcn);
    if (next != m_taken.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == lcn) {
            previous->second += length;
            return;
        }
    }
    m_taken.emplace(lcn, length);
}

void CClusterMap::Reserve(uint64_t lcn, uint64_t length) {
    if (lcn > m_clusterCount || length > m_clusterCount - lcn)
        throw CException(EErrorKind::Argument, "System area at cluster %1 (%2 clusters) lies past the volume", lcn,
                         length);
    auto range = FirstEndingAfter(lcn);
    if (range != m_taken.end() && range->first < lcn + length)
        throw CException(EErrorKind::Argument, "System areas overlap at cluster %1", std::max(lcn, range->first));
    Take(lcn, length);
}

void CClusterMap::TakeFrom(uint64_t from, uint64_t to, uint64_t& remaining, RunMap& runs) {
    uint64_t lcn = from;
    while (lcn < to && remaining > 0) {
        auto range = FirstEndingAfter(lcn);
        if (range != m_taken.end() && range->first <= lcn) {
            lcn = range->first + range->second;
            continue;
        }
        uint64_t gapEnd = range == m_taken.end() ? to : std::min(to, range->first);
        uint64_t length = std::min(gapEnd - lcn, remaining);
        Take(lcn, length);
        uint64_t vcn = runs.empty() ? 0 : runs.rbegin()->first.value + runs.rbegin()->second.length;
        runs[VCN{vcn}] = SLcnAndLength{lcn, length};
        remaining -= length;
        lcn += length;
    }
}

RunMap CClusterMap::Allocate(uint64_t count, uint64_t hint) {
    RunMap runs;
    uint64_t remaining = count;
    hint = std::min(hint, m_clusterCount);
    TakeFrom(hint, m_clusterCount, remaining, runs);
    TakeFrom(0, hint, remaining, runs);
    if (remaining > 0)
        throw CException(EErrorKind::Argument, "Volume is too small for its system files: %1 clusters short",
                         remaining);
    return runs;
}

void CClusterMap::FillBitmap(uint64_t firstByte, std::span<uint8_t> out) const {
    std::fill(out.begin(), out.end(), 0);
    uint64_t firstBit = firstByte * 8, endBit = firstBit + out.size() * 8;
    for (auto range = FirstEndingAfter(firstBit); range != m_taken.end() && range->first < endBit; ++range)
        SetBits(out, firstBit, range->first, range->first + range->second);
    SetBits(out, firstBit, m_clusterCount, endBit);
}

}  // namespace volcore::format

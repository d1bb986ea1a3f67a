#pragma once
// A bitmap over one attribute's data; bit set = in use. The bits are read in
// windows as they are first needed and only the windows that changed are
// written back, so that a bitmap of any size costs a few windows of memory
// until it is changed. Changed windows stay in memory until they are flushed.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/UnzeroedAllocator.h"

namespace volcore {

class CAttribute;

class CBitmap {
public:
    static constexpr uint64_t NotFound = ~uint64_t{0};
    static constexpr uint64_t kWindowBytes = 64 * 1024;

    explicit CBitmap(std::shared_ptr<CAttribute> attribute);
    ~CBitmap();  // flushes as a last resort; logs instead of raising
    CBitmap(const CBitmap&) = delete;
    CBitmap& operator=(const CBitmap&) = delete;

    uint64_t GetSize() const;  // 8 x the attribute's data size
    void CheckIndex(uint64_t index) const;
    bool Test(uint64_t index) const;
    void Set(uint64_t index) { Change(index, true); }
    void Clear(uint64_t index) { Change(index, false); }
    void SetRange(uint64_t start, uint64_t count);
    void ClearRange(uint64_t start, uint64_t count);
    // First index of `count` clear bits at or after `start`, or NotFound.
    uint64_t FindClearRun(uint64_t count, uint64_t start) const;
    // The first clear bit in [from, limit), or limit; `length` gets how many
    // clear bits follow it there, at most `longest`.
    uint64_t FindClearExtent(uint64_t from, uint64_t limit, uint64_t longest, uint64_t& length) const;
    uint64_t CountClear(uint64_t from, uint64_t limit) const;
    void Resize(uint64_t bits);
    void Flush();
    // Gives up the unsaved bits: the owner's flush failed and was reported.
    void Abandon() noexcept;
    bool IsDirty() const { return m_dirty; }
    // Counts the events that may have made a set bit clear (a clear, unsaved
    // bits given up; a growth adds clear bits only past the old end): a search
    // that found none free need not look there again while it stays the same.
    uint64_t ClearGeneration() const { return m_clearGeneration; }
    // The whole bitmap, read for inspection.
    std::vector<uint8_t> Bytes() const;

private:
    struct SWindow {
        // Filled by the read that loads it: zeroing it first would write a
        // window of up to 64 KiB twice on the first allocation of a session.
        std::vector<uint8_t, SUnzeroedAllocator<uint8_t>> bytes;
        bool dirty = false;
        uint64_t lastUse = 0;
        // The changed bytes [changedFrom, changedTo) of a dirty window: a
        // flush writes those sectors, not the whole window.
        size_t changedFrom = 0;
        size_t changedTo = 0;
        void MarkChanged(size_t from, size_t to);
    };
    static constexpr uint64_t kWindowBits = kWindowBytes * 8;
    // Unchanged windows kept for later searches; the least recently used goes.
    static constexpr size_t kCleanWindowsKept = 16;

    SWindow& Window(uint64_t window) const;
    void EvictCleanWindow() const;
    void Change(uint64_t index, bool value);
    void ChangeRange(uint64_t start, uint64_t count, bool value);
    bool ChangeInWindow(SWindow& window, uint64_t from, uint64_t to, bool value);
    uint64_t Word(uint64_t word, uint8_t fill) const;
    uint64_t FindBit(bool value, uint64_t from, uint64_t limit) const;
    uint64_t FindBitInWindow(bool value, uint64_t from, uint64_t limit) const;

    std::shared_ptr<CAttribute> m_attribute;
    uint64_t m_byteCount = 0;  // the attribute's data size as the windows know it
    mutable std::map<uint64_t, SWindow> m_windows;
    // A free-space hint: windows seen to hold no clear bit since their last clear.
    mutable std::set<uint64_t> m_fullWindows;
    mutable SWindow* m_lastWindow = nullptr;
    mutable uint64_t m_lastWindowIndex = 0;
    mutable uint64_t m_clock = 0;
    bool m_dirty = false;
    uint64_t m_clearGeneration = 0;
};

}  // namespace volcore

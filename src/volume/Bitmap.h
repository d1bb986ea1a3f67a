#pragma once
// A bitmap over one attribute's data, whole in memory; bit set = in use.
#include <cstdint>
#include <memory>
#include <vector>

namespace volcore {

class CAttribute;

class CBitmap {
public:
    static constexpr uint64_t NotFound = ~uint64_t{0};

    explicit CBitmap(std::shared_ptr<CAttribute> attribute);
    ~CBitmap();  // flushes as a last resort; logs instead of raising
    CBitmap(const CBitmap&) = delete;
    CBitmap& operator=(const CBitmap&) = delete;

    uint64_t GetSize() const;  // 8 x the attribute's data size
    void CheckIndex(uint64_t index) const;
    bool Test(uint64_t index) const;
    void Set(uint64_t index);
    void Clear(uint64_t index);
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
    void Abandon() noexcept { m_dirty = false; }
    bool IsDirty() const { return m_dirty; }
    const std::vector<uint8_t>& Bytes() const { return m_bits; }

private:
    uint64_t Word(uint64_t word, uint8_t fill) const;
    uint64_t FindBit(bool value, uint64_t from, uint64_t limit) const;

    std::shared_ptr<CAttribute> m_attribute;
    std::vector<uint8_t> m_bits;
    bool m_dirty = false;
};

}  // namespace volcore

#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace volcore::fuzz {
namespace {

constexpr size_t kRunUnit = 512;
constexpr size_t kMaxLiteral = 0x80;
constexpr size_t kMaxRunUnits = 0x80;
constexpr uint8_t kRunTag = 0x80;

bool IsUniform(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == bytes[0]; });
}

void AppendLiterals(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    for (size_t at = 0; at < bytes.size(); at += kMaxLiteral) {
        size_t length = std::min(kMaxLiteral, bytes.size() - at);
        out.push_back(static_cast<uint8_t>(length - 1));
        out.insert(out.end(), bytes.begin() + at, bytes.begin() + at + length);
    }
}

}  // namespace

std::vector<uint8_t> UnpackImage(std::span<const uint8_t> packed) {
    std::vector<uint8_t> image;
    size_t at = 0;
    while (at < packed.size()) {
        uint8_t tag = packed[at++];
        bool run = (tag & kRunTag) != 0;
        size_t length = run ? ((tag & ~kRunTag) + 1u) * kRunUnit : tag + 1u;
        size_t operand = run ? 1 : length;
        if (packed.size() - at < operand || kMaxImageSize - image.size() < length) break;
        if (run) image.insert(image.end(), length, packed[at]);
        else image.insert(image.end(), packed.begin() + at, packed.begin() + at + length);
        at += operand;
    }
    return image;
}

std::vector<uint8_t> PackImage(std::span<const uint8_t> image) {
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at + kRunUnit <= image.size()) {
        size_t units = 0;
        while (units < kMaxRunUnits && at + (units + 1) * kRunUnit <= image.size() &&
               IsUniform(image.subspan(at + units * kRunUnit, kRunUnit)) &&
               image[at + units * kRunUnit] == image[at])
            ++units;
        if (units == 0) {
            AppendLiterals(out, image.subspan(at, kRunUnit));
            at += kRunUnit;
            continue;
        }
        out.push_back(static_cast<uint8_t>(kRunTag | (units - 1)));
        out.push_back(image[at]);
        at += units * kRunUnit;
    }
    AppendLiterals(out, image.subspan(at));
    return out;
}

CowDevice::CowDevice(std::span<const uint8_t> base)
    : m_base(base), m_pages((base.size() + kPageSize - 1) / kPageSize) {}

bool CowDevice::InRange(uint64_t offset, uint32_t length) const {
    return offset <= m_base.size() && length <= m_base.size() - offset;
}

uint8_t* CowDevice::Page(size_t index) {
    if (!m_pages[index]) {
        m_pages[index] = std::make_unique<uint8_t[]>(kPageSize);
        size_t start = index * kPageSize;
        std::memcpy(m_pages[index].get(), m_base.data() + start, std::min(kPageSize, m_base.size() - start));
    }
    return m_pages[index].get();
}

template <typename Move>
void CowDevice::ForEachPage(uint64_t offset, uint32_t length, Move move) {
    uint32_t done = 0;
    while (done < length) {
        uint64_t position = offset + done;
        size_t index = position / kPageSize;
        size_t inPage = position % kPageSize;
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length - done, kPageSize - inPage));
        move(index, inPage, done, piece);
        done += piece;
    }
}

bool CowDevice::Read(uint64_t offset, void* buffer, uint32_t length, void* context) {
    auto* device = static_cast<CowDevice*>(context);
    if (!device->InRange(offset, length)) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    device->ForEachPage(offset, length, [&](size_t index, size_t inPage, uint32_t done, uint32_t piece) {
        const auto& page = device->m_pages[index];
        const uint8_t* from = page ? page.get() + inPage : device->m_base.data() + offset + done;
        std::memcpy(out + done, from, piece);
    });
    return true;
}

bool CowDevice::Write(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    auto* device = static_cast<CowDevice*>(context);
    if (!device->InRange(offset, length)) return false;
    ++device->m_writes;
    auto* in = static_cast<const uint8_t*>(buffer);
    device->ForEachPage(offset, length, [&](size_t index, size_t inPage, uint32_t done, uint32_t piece) {
        std::memcpy(device->Page(index) + inPage, in + done, piece);
    });
    return true;
}

bool CowDevice::Size(uint64_t* size, void* context) {
    *size = static_cast<CowDevice*>(context)->m_base.size();
    return true;
}

std::vector<uint8_t> CowDevice::Bytes() const {
    std::vector<uint8_t> bytes(m_base.begin(), m_base.end());
    for (size_t index = 0; index < m_pages.size(); ++index) {
        if (!m_pages[index]) continue;
        size_t start = index * kPageSize;
        std::memcpy(bytes.data() + start, m_pages[index].get(), std::min(kPageSize, bytes.size() - start));
    }
    return bytes;
}

void SilenceLog() {
    if (std::getenv("VOLKIT_FUZZ_LOG"))
        volkit::api::NtfsSetLogCallback([](int, const char* text, void*) { std::fprintf(stderr, "%s\n", text); }, nullptr);
    else
        volkit::api::NtfsSetLogCallback([](int, const char*, void*) {}, nullptr);
}

void Finding(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

}  // namespace volcore::fuzz

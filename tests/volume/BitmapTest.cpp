#include <gtest/gtest.h>

#include <random>

#include "entries/Attribute.h"
#include "support/EngineVolume.h"
#include "volume/Bitmap.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// The rule the word-at-a-time search must agree with, one bit at a time.
uint64_t FindClearRunBitByBit(const std::vector<uint8_t>& bytes, uint64_t count, uint64_t start) {
    uint64_t runStart = 0;
    bool inRun = false;
    for (uint64_t i = start; i < bytes.size() * 8; ++i) {
        if ((bytes[i / 8] >> (i % 8)) & 1) {
            inRun = false;
            continue;
        }
        if (!inRun) runStart = i, inRun = true;
        if (i - runStart + 1 >= count) return runStart;
    }
    return CBitmap::NotFound;
}

class BitmapOnImage : public ::testing::Test {
protected:
    // A resident attribute holding `bytes`, not dirty.
    std::shared_ptr<CAttribute> ResidentBits(const std::vector<uint8_t>& bytes) {
        auto attribute = std::make_shared<CAttribute>(image.Volume(), MakeReference(40, 1), AttrType::Bitmap, u"", true);
        SetValue(*attribute, bytes);
        attribute->ClearDirty();
        return attribute;
    }

    EngineVolume image{ImageOptions{}, ELoadDepth::BootSector};
};

}  // namespace

TEST_F(BitmapOnImage, BitsChangeOnlyInsideTheSizeAndDirtyOnlyOnRealChanges) {
    auto attribute = ResidentBits({0x01, 0x80});
    CBitmap bitmap(attribute);
    EXPECT_TRUE(bitmap.Test(0) && bitmap.Test(15) && !bitmap.Test(14));
    EXPECT_EQ(FailureOf([&] { bitmap.Test(16); }), "Bitmap: index 16 out of range 16");
    EXPECT_EQ(FailureOf([&] { bitmap.Set(~uint64_t{0}); }), "Bitmap: index 18446744073709551615 out of range 16");

    bitmap.Set(0);
    bitmap.Clear(14);
    bitmap.SetRange(3, 0);
    bitmap.Flush();
    EXPECT_FALSE(attribute->IsDirty());

    bitmap.SetRange(4, 6);
    EXPECT_EQ(FailureOf([&] { bitmap.ClearRange(14, 3); }), "Bitmap: index 16 out of range 16");
    EXPECT_EQ(bitmap.Bytes(), (std::vector<uint8_t>{0xF1, 0x83}));  // a range past the end changes nothing
    bitmap.ClearRange(9, 7);  // across a byte boundary
    bitmap.Flush();
    EXPECT_FALSE(bitmap.IsDirty());
    EXPECT_EQ(attribute->ReadAll(), (std::vector<uint8_t>{0xF1, 0x01}));
    EXPECT_TRUE(attribute->IsDirty());  // the entry's save writes the resident value
    EXPECT_EQ(FailureOf([&] { bitmap.FindClearRun(1, 17); }), "Bitmap: index 17 out of range 16");
}

TEST_F(BitmapOnImage, WordSearchAgreesWithTheBitByBitRule) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 60; ++round) {
        size_t size = round == 0 ? 0 : 1 + random() % 880;
        unsigned density = static_cast<unsigned>(random() % 5);  // from mostly clear to mostly set
        std::vector<uint8_t> bytes(size);
        for (auto& byte : bytes) {
            switch (density) {
                case 0: byte = random() % 8 == 0 ? static_cast<uint8_t>(random()) : 0; break;
                case 1: byte = static_cast<uint8_t>(random()); break;
                case 2: byte = static_cast<uint8_t>(random() | random()); break;
                case 3: byte = random() % 16 == 0 ? static_cast<uint8_t>(random()) : 0xFF; break;
                default: byte = random() % 3 == 0 ? 0x00 : 0xFF; break;
            }
        }
        CBitmap bitmap(ResidentBits(bytes));
        for (int query = 0; query < 200; ++query) {
            uint64_t count = query % 4 == 0 ? random() % 300 : random() % 20;  // 0: the first clear bit
            uint64_t start = random() % (size * 8 + 1);                        // up to the end itself
            ASSERT_EQ(bitmap.FindClearRun(count, start), FindClearRunBitByBit(bytes, count, start))
                << "round " << round << " count " << count << " start " << start;
        }
    }
}

TEST_F(BitmapOnImage, LargeBitmapIsSearchedAndWrittenByWindow) {
    const uint64_t bytes = 20 * CBitmap::kWindowBytes;  // more windows than stay in memory
    TestAllocator::Install(image.Volume(), 3000);
    std::vector<uint8_t> full(bytes, 0xFF);
    full[bytes - 3] = 0xF0;  // four clear bits in the last window
    auto attribute = ResidentBits(full);
    const uint64_t hole = (bytes - 3) * 8;

    CBitmap bitmap(attribute);
    EXPECT_EQ(bitmap.FindClearRun(4, 0), hole);
    EXPECT_EQ(bitmap.FindClearRun(5, 0), CBitmap::NotFound);
    bitmap.Clear(100);  // in a window the searches saw full
    EXPECT_EQ(bitmap.FindClearRun(1, 0), 100u);
    bitmap.Set(hole);
    bitmap.Flush();

    CBitmap reread(attribute);
    EXPECT_EQ(reread.FindClearRun(3, 0), hole + 1);
    EXPECT_EQ(reread.CountClear(0, bytes * 8), 4u);
}

// A flush writes only the sectors around what changed, and a range is set a
// byte at a time: every change, near or far from the others, before a flush
// or after one, must be in the bits and reach the attribute.
TEST_F(BitmapOnImage, FlushWritesEverySectorThatChanged) {
    struct SStep {
        std::vector<uint64_t> flips;
        uint64_t rangeStart, rangeCount, resizeTo;  // resizeTo in bytes, 0: none
    };
    const std::vector<SStep> steps = {
        {{0, 3000 * 8 - 1}, 0, 0, 0},       // the first and the last byte
        {{9, 700 * 8, 2999 * 8}, 0, 0, 0},  // sectors apart in one flush
        {{}, 13, 8 * 700, 0},               // a range over whole bytes and two sectors
        {{}, 0, 0, 4000},                   // grown: the new bytes are zeros
        {{3999 * 8 + 7, 1}, 3001 * 8, 8 * 600 + 3, 0},
        {{5}, 0, 0, 2500},  // shrunk after a change
    };
    TestAllocator::Install(image.Volume(), 3000);  // the growth moves the bits out of the record
    std::vector<uint8_t> expected(3000, 0x5A);
    auto attribute = ResidentBits(expected);
    CBitmap bitmap(attribute);
    for (size_t i = 0; i < steps.size(); ++i) {
        for (uint64_t bit : steps[i].flips) bitmap.Test(bit) ? bitmap.Clear(bit) : bitmap.Set(bit);
        for (uint64_t bit : steps[i].flips) expected[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        bitmap.SetRange(steps[i].rangeStart, steps[i].rangeCount);
        for (uint64_t bit = steps[i].rangeStart; bit < steps[i].rangeStart + steps[i].rangeCount; ++bit)
            expected[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        if (steps[i].resizeTo) bitmap.Resize(steps[i].resizeTo * 8);
        if (steps[i].resizeTo) expected.resize(steps[i].resizeTo, 0);
        bitmap.Flush();
        EXPECT_EQ(bitmap.Bytes(), expected) << "step " << i;
        EXPECT_EQ(attribute->ReadAll(), expected) << "step " << i;
    }
}

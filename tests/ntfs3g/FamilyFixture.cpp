#include "FamilyFixture.h"

// GCC 12 warns -Wmaybe-uninitialized inside libstdc++'s regex compiler when
// it is built with the sanitizers (a false positive in the standard header).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "base/Unicode.h"

namespace volcore::test {
void FamilyTest::SetUp() {
    log = std::make_unique<FamilyLogCapture>();
    ResetImage();
}

void FamilyTest::ResetImage() {
    memory = MemoryDevice(PristineImage(32ull << 20));
    dev = FamilyDeviceOf(memory);
    log->Clear();
}

void FamilyTest::TearDown() {
    if (volume.ptr != nullptr) filesystem::close(volume);
    volume = {};
    log.reset();
}

void FamilyTest::Mount() {
    ASSERT_TRUE(filesystem::open(volume, dev));
    ASSERT_NE(volume.ptr, nullptr);
}

void FamilyTest::Dismount() {
    if (volume.ptr == nullptr) return;
    EXPECT_TRUE(filesystem::close(volume));
    volume = {};
}

std::string FamilyTest::SaveImage() {
    Dismount();
    const std::string path = temp.File("volume.img");
    memory.SaveToFile(path);
    return path;
}

void FamilyTest::CreateFileWith(const std::string& path, const std::vector<uint8_t>& content) {
    file::handle h;
    ASSERT_TRUE(file::create(h, path.c_str(), volume)) << path;
    ASSERT_TRUE(file::write(h, 0, content.data(), static_cast<uint32_t>(content.size())));
    ASSERT_TRUE(file::close(h));
}

std::vector<uint8_t> FamilyTest::ReadWhole(const std::string& path) {
    file::handle h;
    std::vector<uint8_t> content;
    if (!file::open(h, path.c_str(), volume)) {
        ADD_FAILURE() << "cannot open " << path;
        return content;
    }
    uint64_t size = 0;
    EXPECT_TRUE(file::getSize(h, size));
    content.resize(size);
    if (size > 0) {
        EXPECT_TRUE(file::read(h, 0, content.data(), static_cast<uint32_t>(size)));
    }
    EXPECT_TRUE(file::close(h));
    return content;
}

std::map<std::string, directory::dirEntry> FamilyTest::Listing(const std::string& dir) {
    std::map<std::string, directory::dirEntry> entries;
    EXPECT_TRUE(directory::fetch(dir.c_str(), volume, [](const directory::dirEntry& e, void* entries) {
        (*static_cast<std::map<std::string, directory::dirEntry>*>(entries))[NameOf(e.name)] = e;
        return true;
    }, &entries)) << dir;
    return entries;
}

void FamilyTest::ExpectErrors(const Lines& expected) {
    const Lines errors = log->Errors();
    bool matched = errors.size() == expected.size();
    for (size_t i = 0; matched && i < errors.size(); ++i) matched = std::regex_match(errors[i], std::regex(expected[i]));
    EXPECT_TRUE(matched) << ::testing::PrintToString(errors) << " against " << ::testing::PrintToString(expected);
    log->Clear();
}

std::string NameOf(const char16_t* name) {
    return volcore::Utf16ToUtf8(std::u16string_view(name, std::char_traits<char16_t>::length(name)));
}

}  // namespace volcore::test

#pragma once
// A fresh mkntfs volume in memory, mounted through the filesystem family, with
// the family's messages captured. The pristine image is made once per test
// program and copied for each test.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "volkit/filesystem.h"

namespace volcore::test {

// The filesystem family is what these tests exercise: its names read unqualified.
using namespace volkit;
using Lines = std::vector<std::string>;

class FamilyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh copy of the pristine image, no injected failures, no messages.
    void ResetImage();
    // Mounts the memory image; fails the test when that does not work.
    void Mount();
    // Dismounts (if mounted) and expects success.
    void Dismount();
    // Dismounts, writes the image to a file for the independent checkers,
    // and returns its path.
    std::string SaveImage();

    // Creates a file with the given content through the family.
    void CreateFileWith(const std::string& path, const std::vector<uint8_t>& content);
    std::vector<uint8_t> ReadWhole(const std::string& path);
    // What fetch reports for `dir`, by name.
    std::map<std::string, directory::dirEntry> Listing(const std::string& dir);
    // The family's error lines since the last check, each matching its
    // regular expression (offsets depend on the image); clears them.
    void ExpectErrors(const Lines& expected);

    MemoryDevice memory;
    filesystem::device dev{};
    filesystem::handle volume{};
    std::unique_ptr<FamilyLogCapture> log;
    TempDir temp;
};

// UTF-16 name of a dirEntry as UTF-8.
std::string NameOf(const char16_t* name);

}  // namespace volcore::test

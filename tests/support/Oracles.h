#pragma once
// What the independent checkers (The Sleuth Kit, ntfsfix) say about an image
// file, parsed for comparison with what the engine reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace volcore::test {

struct TskEntry {
    std::u16string path;  // components joined by backslashes
    bool directory = false;
};

// What `fls -r -p` lists, without deleted names, virtual entries, named
// streams and names that are no valid UTF-8. On a damaged image fls may list
// part and then fail: that part is returned unless `mustSucceed`, which throws.
std::vector<TskEntry> TskListing(const std::string& image, bool mustSucceed = false);

// The listing's paths without the system files; an object whose directory
// lost it shows under "$OrphanFiles".
std::set<std::u16string> TskPaths(const std::string& image);

// `ntfsfix -n` finds nothing to repair; its output is the failure message.
::testing::AssertionResult NtfsfixAccepts(const std::string& image);

// Where the real fsck of the shared tools is, or empty when it is absent.
std::string NtfsckPath();

// `ntfsck -n` (a full fsck, stricter than ntfsfix) calls the image clean; its
// output is the failure message. Its exit status is unreliable: the verdict
// is its last line. Where ntfsck is absent it says so once and succeeds, so
// the other checkers alone judge the image.
::testing::AssertionResult NtfsckAccepts(const std::string& image);

}  // namespace volcore::test

#include "support/Oracles.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/Unicode.h"
#include "support/Images.h"

namespace volcore::test {

namespace {

// What `fls -r -p` prints for the image: run here, or for an image of the
// prepared corpus the listing made when it was unpacked.
CommandResult FlsListing(const std::string& image) {
    if (PreparedCorpusDir().empty()) return RunCommand("fls -r -p " + ShellQuote(image));
    std::ifstream in(std::filesystem::path(image).parent_path().string() + ".fls", std::ios::binary);
    std::ostringstream text;
    if (in.is_open()) text << in.rdbuf();
    return CommandResult{in.is_open() ? 0 : -1, text.str()};
}

}  // namespace

std::vector<TskEntry> TskListing(const std::string& image, bool mustSucceed) {
    CommandResult listing = FlsListing(image);
    if (mustSucceed && listing.exitCode != 0) throw std::runtime_error("fls failed: " + listing.output);
    std::vector<TskEntry> entries;
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find(" * ") < tab || line.rfind("V/V", 0) == 0) continue;
        std::string path = line.substr(tab + 1);
        if (path.empty() || path.find(':') != std::string::npos) continue;
        TskEntry entry{{}, line.rfind("d/d", 0) == 0};
        try {
            entry.path = volcore::Utf8ToUtf16(path);
        } catch (const std::exception&) {
            continue;
        }
        for (auto& unit : entry.path)
            if (unit == u'/') unit = u'\\';
        entries.push_back(entry);
    }
    return entries;
}

std::set<std::u16string> TskPaths(const std::string& image) {
    std::set<std::u16string> paths;
    for (const TskEntry& entry : TskListing(image, true))
        if (entry.path[0] != u'$' || entry.path.rfind(u"$OrphanFiles\\", 0) == 0) paths.insert(entry.path);
    return paths;
}

::testing::AssertionResult NtfsfixAccepts(const std::string& image) {
    CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(image));
    if (fix.exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "ntfsfix -n: " << fix.output;
}

std::string NtfsckPath() {
    if (!HaveProgram("sh")) return {};  // under Wine no Linux program runs
    std::filesystem::path tool = std::filesystem::path(VOLKIT_SHARED_DIR) / "tools" / "ntfsck" / "ntfsck";
    std::error_code ignored;
    return std::filesystem::is_regular_file(tool, ignored) ? tool.string() : std::string();
}

::testing::AssertionResult NtfsckAccepts(const std::string& image) {
    std::string tool = NtfsckPath();
    if (tool.empty()) {
        static bool said = false;
        if (!std::exchange(said, true)) std::cout << "[ NOTE     ] ntfsck is not at hand (../shared/tools): not run\n";
        return ::testing::AssertionSuccess();
    }
    CommandResult check = RunCommand(ShellQuote(tool) + " -n " + ShellQuote(image) + " 2>&1 | tr '\\r' '\\n' | grep -v 'percent completed'");
    std::string output = check.output;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    std::string last = output.substr(output.rfind('\n') == std::string::npos ? 0 : output.rfind('\n') + 1);
    if (last.rfind("Clean, No errors found or left", 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "ntfsck -n: " << output;
}

}  // namespace volcore::test

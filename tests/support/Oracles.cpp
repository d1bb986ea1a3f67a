#include "support/Oracles.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "base/Unicode.h"
#include "support/Images.h"

namespace volcore::test {

std::vector<TskEntry> TskListing(const std::string& image, bool mustSucceed) {
    CommandResult listing = RunCommand("fls -r -p " + ShellQuote(image));
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
    std::filesystem::path tool = std::filesystem::path(VOLKIT_SHARED_DIR) / "tools" / "ntfsck" / "ntfsck";
    std::error_code error;
    return std::filesystem::exists(tool, error) ? tool.string() : std::string();
}

::testing::AssertionResult NtfsckAccepts(const std::string& image) {
    CommandResult check = RunCommand(ShellQuote(NtfsckPath()) + " -n " + ShellQuote(image));
    if (check.output.find("Clean, No errors found or left") != std::string::npos) return ::testing::AssertionSuccess();
    std::string findings;
    size_t start = 0;
    for (size_t end; (end = check.output.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = check.output.substr(start, end - start);
        if (line.find("percent completed") == std::string::npos && line.rfind("Parse #", 0) != 0) findings += line + "\n";
    }
    return ::testing::AssertionFailure() << "ntfsck -n: " << findings.substr(0, 4000);
}

}  // namespace volcore::test

#include "support/Oracles.h"

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

}  // namespace volcore::test

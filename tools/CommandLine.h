#pragma once
// The command line as the tool understands it: options may stand anywhere,
// before or after the command and the image.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace volcore::tool {

enum class EEngineChoice { Default, Native, Ntfs3g };

struct SGlobalOptions {
    EEngineChoice engine = EEngineChoice::Default;
    std::optional<uint64_t> offset;
    std::optional<unsigned> partition;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

struct SCommandLine {
    SGlobalOptions global;
    std::string command;                // empty when none was given
    std::vector<std::string> operands;  // image first, then the command's own
    // Command options by their spelling ("-l", "--size"); value-less ones map to "".
    std::map<std::string, std::string> options;
    // Attribute changes in the order given ("+r", "-h", ...); used by attrib only.
    std::vector<std::string> attributeChanges;

    bool Has(const std::string& option) const { return options.count(option) != 0; }
};

// Thrown for anything the user has to fix on the command line (exit code 2).
struct SUsageError {
    std::string message;
    std::string command = {};  // the command the line named, when known
};

// Parses the arguments after the program name; raises SUsageError.
SCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

}  // namespace volcore::tool

#include "ToolRunner.h"

#include <fstream>
#include <iterator>

#include "support/Images.h"

namespace volcore::test {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::string ToolCommand() { return ShellQuote(VOLKIT_TOOL_PATH); }

ToolResult RunTool(const std::string& arguments) {
    TempDir capture;
    const std::string out = capture.File("out"), err = capture.File("err");
    // stdin from /dev/null and stderr to a file: no terminal, so no progress bar.
    CommandResult run = RunCommand("(" + ToolCommand() + " " + arguments + " </dev/null >" + ShellQuote(out) +
                                   " 2>" + ShellQuote(err) + ")");
    return {run.exitCode, Slurp(out), Slurp(err)};
}

}  // namespace volcore::test

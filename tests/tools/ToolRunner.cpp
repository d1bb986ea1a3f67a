#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"

namespace volcore::test {
namespace {

// A file's bytes as text; a missing file reads empty.
std::string Slurp(const std::string& path) {
    const std::vector<uint8_t> bytes = std::filesystem::exists(path) ? ReadFileBytes(path) : std::vector<uint8_t>{};
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::string ToolCommand() { return ShellQuote(VOLKIT_TOOL_PATH); }

std::string Q(const std::string& text) { return ShellQuote(text); }

ToolResult RunTool(const std::string& arguments) {
    TempDir capture;
    const std::string out = capture.File("out"), err = capture.File("err");
    // stdin from /dev/null and stderr to a file: no terminal, so no progress bar.
    CommandResult run = RunCommand("(" + ToolCommand() + " " + arguments + " </dev/null >" + ShellQuote(out) +
                                   " 2>" + ShellQuote(err) + ")");
    return {run.exitCode, Slurp(out), Slurp(err)};
}

void ExpectRows(const std::vector<ToolRow>& rows, const std::string& image) {
    const bool exists = std::filesystem::exists(image);
    const std::string before = Slurp(image);
    for (ToolRow row : rows) {
        SCOPED_TRACE(row.arguments);
        if (auto at = row.arguments.find("IMG"); at != std::string::npos) row.arguments.replace(at, 3, Q(image));
        const ToolResult result = RunTool(row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
        EXPECT_NE(result.err.find(row.stderrPart), std::string::npos) << result.err;
        if (row.exitCode == 0) continue;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("volkit: ", 0), 0u) << result.err;
        if (row.exitCode != 2) {
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        }
        EXPECT_EQ(std::filesystem::exists(image), exists);
        EXPECT_TRUE(Slurp(image) == before) << "the image was changed";
    }
}

}  // namespace volcore::test

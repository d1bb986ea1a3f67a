#pragma once
// Runs the built `volkit` tool and captures what it says.
#include <string>

namespace volcore::test {

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// `arguments` is shell text (quote paths with ShellQuote).
ToolResult RunTool(const std::string& arguments);

// The tool's path, quoted for the shell.
std::string ToolCommand();

}  // namespace volcore::test

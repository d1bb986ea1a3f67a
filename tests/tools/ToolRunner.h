#pragma once
// Runs the built `volkit` tool and captures what it says.
#include <string>
#include <vector>

namespace volcore::test {

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// `arguments` is shell text (quote paths with Q).
ToolResult RunTool(const std::string& arguments);

// The tool's path, quoted for the shell.
std::string ToolCommand();

// Quotes one argument for the shell.
std::string Q(const std::string& text);

struct ToolRow {
    std::string arguments;  // IMG stands for the image
    int exitCode;
    std::string stderrPart;
};

// Runs each row and expects its exit code and a stderr containing its part. A
// failing row prints nothing on stdout, starts its message with "volkit: ",
// says it in one line where it is no usage mistake (exit code 2), and leaves
// the image as it was.
void ExpectRows(const std::vector<ToolRow>& rows, const std::string& image);

}  // namespace volcore::test

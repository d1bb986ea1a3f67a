#pragma once
// What the library says: both families' log callbacks go here. The failure
// text of the last failed call is kept for the tool's one error line; with -v
// every line also goes to stderr.
#include <string>

namespace volcore::tool {

class CDiagnostics {
public:
    // Installs the callbacks of both families.
    static void Install(bool verbose);
    // Forgets what was said so far (before a call whose failure we report).
    static void Clear();
    // Records a failure the tool itself found while driving the library.
    static void Note(const std::string& text);
    // Puts the failure in the user's terms; the library's own line stays
    // visible under -v.
    static void Replace(const std::string& text);
    // The failure text since the last Clear ("" when none was said). A
    // failure of the native engine that the ntfs3g engine would not have
    // says so.
    static std::string LastFailure();
    // The handle family's warning lines since the last Clear, one per line
    // (a volume that opens for reading only, or marked dirty, says so).
    static std::string Warnings();
    static bool IsQuiet();

    // While alive, failures are kept but not echoed: for probes whose failure
    // is an expected answer ("is this a directory?").
    class CQuiet {
    public:
        CQuiet();
        ~CQuiet();
        CQuiet(const CQuiet&) = delete;
        CQuiet& operator=(const CQuiet&) = delete;

    private:
        bool m_previous;
    };
};

// Prints "volkit: CONTEXT: DETAIL" on stderr; DETAIL defaults to the library's
// last failure text.
void ReportFailure(const std::string& context, const std::string& detail = CDiagnostics::LastFailure());

}  // namespace volcore::tool

#include "ExplainedEngine.h"

#include "Diagnostics.h"
#include "Text.h"

namespace volcore::tool {
namespace {

constexpr size_t kMaxNameUnits = 255;

// Whether the call needed the object to exist already or to be new.
enum class EUse { Existing, New };

size_t Utf16Units(const std::string& name) {
    size_t units = 0;
    for (wchar_t c : Utf8ToWide(name).value_or(L"")) units += (static_cast<uint32_t>(c) >> 16 != 0) ? 2 : 1;
    return units;
}

class CExplainedEngine final : public IEngine {
public:
    explicit CExplainedEngine(std::unique_ptr<IEngine> inner) : m_inner(std::move(inner)) {}
    const char* Name() const override { return m_inner->Name(); }

    bool Stat(const CVolumePath& path, SEntryInfo& info) override {
        return Explain(m_inner->Stat(path, info), path, EUse::Existing);
    }
    bool List(const CVolumePath& directory, const std::function<void(const SEntryInfo&)>& visit) override {
        return Explain(m_inner->List(directory, visit), directory, EUse::Existing);
    }
    bool ListStreams(const CVolumePath& path, const std::function<void(const SStreamInfo&)>& visit) override {
        return Explain(m_inner->ListStreams(path, visit), path, EUse::Existing);
    }
    bool OpenFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        return Explain(m_inner->OpenFile(path, stream), path, EUse::Existing);
    }
    bool CreateFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        return Explain(m_inner->CreateFile(path, stream), path, EUse::New);
    }
    bool MakeDirectory(const CVolumePath& path) override {
        return Explain(m_inner->MakeDirectory(path), path, EUse::New);
    }
    bool Remove(const CVolumePath& path, bool isDirectory) override {
        return Explain(m_inner->Remove(path, isDirectory), path, EUse::Existing);
    }
    // The source must be there; what else went wrong is about the new name.
    bool Rename(const CVolumePath& from, const CVolumePath& to, bool isDirectory, bool replace) override {
        return ExplainPair(m_inner->Rename(from, to, isDirectory, replace), from, to);
    }
    bool Link(const CVolumePath& target, const CVolumePath& link) override {
        return ExplainPair(m_inner->Link(target, link), target, link);
    }
    bool SetAttributesAndTimes(const CVolumePath& path, bool isDirectory, const SEntryInfo& wanted) override {
        return Explain(m_inner->SetAttributesAndTimes(path, isDirectory, wanted), path, EUse::Existing);
    }
    bool ReadLink(const CVolumePath& path, SLinkInfo& link) override {
        return Explain(m_inner->ReadLink(path, link), path, EUse::Existing);
    }
    bool MakeSymlink(const CVolumePath& path, const std::string& target, bool directory) override {
        return Explain(m_inner->MakeSymlink(path, target, directory), path, EUse::New);
    }
    uint32_t ChangeableAttributes() const override { return m_inner->ChangeableAttributes(); }
    bool Close() override { return m_inner->Close(); }

private:
    bool Explain(bool ok, const CVolumePath& path, EUse use) {
        // A quiet probe's failure is an answer, not a message.
        if (ok || CDiagnostics::IsQuiet()) return ok;
        // The probes below must not add to the library's failure text.
        const std::string library = CDiagnostics::LastFailure();
        std::string reason;
        {
            CDiagnostics::CQuiet quiet;
            reason = Reason(path, use, library);
        }
        CDiagnostics::Replace(library);
        if (!reason.empty()) CDiagnostics::Replace(reason);
        return false;
    }

    bool ExplainPair(bool ok, const CVolumePath& existing, const CVolumePath& added) {
        if (ok || CDiagnostics::IsQuiet()) return ok;
        bool present;
        {
            CDiagnostics::CQuiet quiet;
            present = Listed(existing);
        }
        return present ? Explain(false, added, EUse::New) : Explain(false, existing, EUse::Existing);
    }

    // "" when the tool cannot tell more than the library.
    std::string Reason(const CVolumePath& path, EUse use, const std::string& library) {
        for (const std::string& element : path.Elements())
            if (Utf16Units(element) > kMaxNameUnits) return "name too long";
        // The native engine wraps its name rule in the call's context; the rule alone is what the user needs.
        const std::string refused = "Invalid name " + path.Name() + ": ";
        if (const size_t at = library.find(refused); use == EUse::New && at != std::string::npos) {
            const std::string problem = library.substr(at + refused.size());
            return problem.substr(0, problem.find_first_of("'\n"));
        }
        CVolumePath prefix;
        SEntryInfo info;
        for (size_t i = 0; i + 1 < path.Elements().size(); ++i) {
            prefix = prefix.Child(path.Elements()[i]);
            if (!Listed(prefix)) return prefix.Display() + " does not exist";
            if (m_inner->Stat(prefix, info) && !info.isDirectory) return prefix.Display() + " is not a directory";
        }
        const bool listed = Listed(path);
        if (use == EUse::Existing && !listed) return "no such file or directory";
        if (use == EUse::New && listed) return "already exists";
        return "";
    }

    // Whether the parent's index names the object (for FILE:STREAM, the
    // file); an object that exists can still fail to open, so a failed open
    // proves nothing.
    bool Listed(const CVolumePath& path) {
        if (path.IsRoot()) return true;
        const std::string name = path.Name();
        const std::wstring wanted = FoldCase(name.substr(0, name.find(':')));
        bool found = false;
        m_inner->List(path.Parent(), [&](const SEntryInfo& entry) { found = found || FoldCase(entry.name) == wanted; });
        return found;
    }

    std::unique_ptr<IEngine> m_inner;
};

}  // namespace

std::unique_ptr<IEngine> ExplainFailures(std::unique_ptr<IEngine> inner) {
    return std::make_unique<CExplainedEngine>(std::move(inner));
}

}  // namespace volcore::tool

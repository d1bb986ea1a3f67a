#include "ExplainedEngine.h"

#include "Diagnostics.h"
#include "Text.h"

namespace volcore::tool {
namespace {

constexpr size_t kMaxNameUnits = 255;

// Whether the call needed the object to exist already or to be new.
enum class Use { Existing, New };

size_t Utf16Units(const std::string& name) {
    size_t units = 0;
    for (wchar_t c : Utf8ToWide(name).value_or(L"")) units += (static_cast<uint32_t>(c) >> 16 != 0) ? 2 : 1;
    return units;
}

class ExplainedEngine final : public Engine {
public:
    explicit ExplainedEngine(std::unique_ptr<Engine> inner) : m_inner(std::move(inner)) {}
    const char* Name() const override { return m_inner->Name(); }

    bool Stat(const VolumePath& path, EntryInfo& info) override {
        return Explain(m_inner->Stat(path, info), path, Use::Existing);
    }
    bool List(const VolumePath& directory, const std::function<void(const EntryInfo&)>& visit) override {
        return Explain(m_inner->List(directory, visit), directory, Use::Existing);
    }
    bool ListStreams(const VolumePath& path, const std::function<void(const StreamInfo&)>& visit) override {
        return Explain(m_inner->ListStreams(path, visit), path, Use::Existing);
    }
    bool OpenFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        return Explain(m_inner->OpenFile(path, stream), path, Use::Existing);
    }
    bool CreateFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        return Explain(m_inner->CreateFile(path, stream), path, Use::New);
    }
    bool MakeDirectory(const VolumePath& path) override {
        return Explain(m_inner->MakeDirectory(path), path, Use::New);
    }
    bool Remove(const VolumePath& path, bool isDirectory) override {
        return Explain(m_inner->Remove(path, isDirectory), path, Use::Existing);
    }
    // The source must be there; what else went wrong is about the new name.
    bool Rename(const VolumePath& from, const VolumePath& to, bool isDirectory, bool replace) override {
        return ExplainPair(m_inner->Rename(from, to, isDirectory, replace), from, to);
    }
    bool Link(const VolumePath& target, const VolumePath& link) override {
        return ExplainPair(m_inner->Link(target, link), target, link);
    }
    bool SetAttributesAndTimes(const VolumePath& path, bool isDirectory, const EntryInfo& wanted) override {
        return Explain(m_inner->SetAttributesAndTimes(path, isDirectory, wanted), path, Use::Existing);
    }
    bool ReadLink(const VolumePath& path, LinkInfo& link) override {
        return Explain(m_inner->ReadLink(path, link), path, Use::Existing);
    }
    bool MakeSymlink(const VolumePath& path, const std::string& target, bool directory) override {
        return Explain(m_inner->MakeSymlink(path, target, directory), path, Use::New);
    }
    uint32_t ChangeableAttributes() const override { return m_inner->ChangeableAttributes(); }
    bool Close() override { return m_inner->Close(); }

private:
    bool Explain(bool ok, const VolumePath& path, Use use) {
        // A quiet probe's failure is an answer, not a message.
        if (ok || Diagnostics::IsQuiet()) return ok;
        // The probes below must not add to the library's failure text.
        const std::string library = Diagnostics::LastFailure();
        std::string reason;
        {
            Diagnostics::Quiet quiet;
            reason = Reason(path, use, library);
        }
        Diagnostics::Replace(library);
        if (!reason.empty()) Diagnostics::Replace(reason);
        return false;
    }

    bool ExplainPair(bool ok, const VolumePath& existing, const VolumePath& added) {
        if (ok || Diagnostics::IsQuiet()) return ok;
        bool present;
        {
            Diagnostics::Quiet quiet;
            present = Listed(existing);
        }
        return present ? Explain(false, added, Use::New) : Explain(false, existing, Use::Existing);
    }

    // "" when the tool cannot tell more than the library.
    std::string Reason(const VolumePath& path, Use use, const std::string& library) {
        for (const std::string& element : path.Elements())
            if (Utf16Units(element) > kMaxNameUnits) return "name too long";
        // The native engine wraps its name rule in the call's context; the rule alone is what the user needs.
        const std::string refused = "Invalid name " + path.Name() + ": ";
        if (const size_t at = library.find(refused); use == Use::New && at != std::string::npos) {
            const std::string problem = library.substr(at + refused.size());
            return problem.substr(0, problem.find_first_of("'\n"));
        }
        VolumePath prefix;
        EntryInfo info;
        for (size_t i = 0; i + 1 < path.Elements().size(); ++i) {
            prefix = prefix.Child(path.Elements()[i]);
            if (!Listed(prefix)) return prefix.Display() + " does not exist";
            if (m_inner->Stat(prefix, info) && !info.isDirectory) return prefix.Display() + " is not a directory";
        }
        const bool listed = Listed(path);
        if (use == Use::Existing && !listed) return "no such file or directory";
        if (use == Use::New && listed) return "already exists";
        return "";
    }

    // Whether the parent's index names the object; an object that exists can
    // still fail to open, so a failed open proves nothing.
    bool Listed(const VolumePath& path) {
        if (path.IsRoot()) return true;
        const std::wstring wanted = FoldCase(path.Name());
        bool found = false;
        m_inner->List(path.Parent(), [&](const EntryInfo& entry) { found = found || FoldCase(entry.name) == wanted; });
        return found;
    }

    std::unique_ptr<Engine> m_inner;
};

}  // namespace

std::unique_ptr<Engine> ExplainFailures(std::unique_ptr<Engine> inner) {
    return std::make_unique<ExplainedEngine>(std::move(inner));
}

}  // namespace volcore::tool

#include "CommandLine.h"

#include <algorithm>
#include <cstring>

#include "Commands.h"
#include "Text.h"

namespace volcore::tool {
namespace {

bool IsAttributeChange(const std::string& word) {
    return word.size() == 2 && (word[0] == '+' || word[0] == '-') && std::strchr("rhsa", word[1]) != nullptr;
}

class CParser {
public:
    explicit CParser(std::vector<std::string> words) : m_words(std::move(words)) {}

    SCommandLine Run() {
        // The command decides what its options mean, so find it first.
        LocateCommand();
        try {
            while (m_next < m_words.size()) Take(m_words[m_next++]);
        } catch (SUsageError& error) {
            error.command = m_result.command;
            throw;
        }
        return std::move(m_result);
    }

private:
    void LocateCommand() {
        for (size_t i = 0; i < m_words.size(); ++i) {
            const std::string& word = m_words[i];
            if (word == "--") break;
            if (!word.empty() && word[0] == '-' && word != "-") {
                if (word.find('=') == std::string::npos && TakesValue(word)) ++i;
                continue;
            }
            m_result.command = word;
            m_commandIndex = i;
            m_spec = FindCommand(word);
            if (!m_spec) throw SUsageError{"unknown command '" + word + "'"};
            return;
        }
    }

    // Before the command is known, an option's value must not be taken for it.
    static bool TakesValue(const std::string& word) {
        if (word == "--engine" || word == "--offset" || word == "--partition") return true;
        for (const SCommandSpec& command : AllCommands()) {
            const SOptionSpec* option = FindOption(command, word);
            if (option && option->takesValue) return true;
        }
        return false;
    }

    void Take(const std::string& word) {
        if (m_next - 1 == m_commandIndex) return;
        if (m_onlyOperands || word.empty() || word[0] != '-' || word == "-") return Operand(word);
        if (word == "--") {
            m_onlyOperands = true;
            return;
        }
        std::string name = word, value;
        bool inlineValue = false;
        if (auto equals = word.find('='); word.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = word.substr(0, equals), value = word.substr(equals + 1), inlineValue = true;
        }
        // attrib's "-h" clears the hidden flag; its help stays reachable as --help.
        if (m_spec && m_spec->name == std::string("attrib") && IsAttributeChange(word)) {
            m_result.attributeChanges.push_back(word);
            return;
        }
        if (TakeGlobal(name, value, inlineValue)) return;
        if (!inlineValue && name.size() > 2 && name[1] != '-') return TakeShortCluster(name);
        TakeCommandOption(name, value, inlineValue);
    }

    void Operand(const std::string& word) {
        if (m_spec && m_spec->name == std::string("attrib") && !m_onlyOperands && IsAttributeChange(word))
            m_result.attributeChanges.push_back(word);
        else
            m_result.operands.push_back(word);
    }

    std::string Value(const std::string& name, std::string value, bool inlineValue) {
        if (inlineValue) return value;
        if (m_next >= m_words.size()) throw SUsageError{"option " + name + " needs a value"};
        return m_words[m_next++];
    }

    bool TakeGlobal(const std::string& name, const std::string& value, bool inlineValue) {
        SGlobalOptions& global = m_result.global;
        if (name == "-v" || name == "--verbose") global.verbose = true;
        else if (name == "-h" || name == "--help") global.help = true;
        else if (name == "--version") global.version = true;
        else if (name == "--engine") global.engine = ParseEngine(Value(name, value, inlineValue));
        else if (name == "--offset") global.offset = ParseNumber(name, Value(name, value, inlineValue), true);
        else if (name == "--partition") global.partition = ParsePartition(Value(name, value, inlineValue));
        else return false;
        return true;
    }

    static EEngineChoice ParseEngine(const std::string& value) {
        if (value == "native") return EEngineChoice::Native;
        if (value == "ntfs3g") return EEngineChoice::Ntfs3g;
        throw SUsageError{"--engine takes native or ntfs3g, not '" + value + "'"};
    }

    static uint64_t ParseNumber(const std::string& name, const std::string& value, bool withSuffix) {
        auto number = withSuffix ? ParseByteSize(value) : ParseUnsigned(value);
        if (!number) throw SUsageError{"option " + name + " takes a number, not '" + value + "'"};
        return *number;
    }

    static unsigned ParsePartition(const std::string& value) {
        uint64_t number = ParseNumber("--partition", value, false);
        if (number < 1 || number > 128) throw SUsageError{"--partition takes a number from 1 to 128"};
        return static_cast<unsigned>(number);
    }

    // "-lR" is "-l -R" when every letter is an option of the command.
    void TakeShortCluster(const std::string& word) {
        for (size_t i = 1; i < word.size(); ++i) {
            std::string single = std::string("-") + word[i];
            if (!TakeGlobal(single, "", true)) TakeCommandOption(single, "", false, word);
        }
    }

    void TakeCommandOption(const std::string& name, const std::string& value, bool inlineValue,
                           const std::string& spelled = "") {
        const SOptionSpec* option = m_spec ? FindOption(*m_spec, name) : nullptr;
        if (!option) {
            const std::string& shown = spelled.empty() ? name : spelled;
            throw SUsageError{m_spec ? "command " + std::string(m_spec->name) + " has no option " + shown
                                    : "unknown option " + shown};
        }
        if (!option->takesValue && inlineValue) throw SUsageError{"option " + name + " takes no value"};
        m_result.options[name] = option->takesValue ? Value(name, value, inlineValue) : "";
    }

    std::vector<std::string> m_words;
    size_t m_next = 0;
    size_t m_commandIndex = SIZE_MAX;
    bool m_onlyOperands = false;
    const SCommandSpec* m_spec = nullptr;
    SCommandLine m_result;
};

}  // namespace

// "volkit help [COMMAND]" asks what "volkit [COMMAND] --help" asks: people
// used to git and its kind type it first.
SCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = arguments;
    if (!words.empty() && words.front() == "help") words.front() = "--help";
    return CParser(std::move(words)).Run();
}

}  // namespace volcore::tool

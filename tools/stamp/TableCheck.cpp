#include "TableCheck.hpp"

#include <algorithm>
#include <utility>

#include "app/UpdaterConfiguration.hpp"

namespace halcyne::stamp {

namespace {

using Updater::LoadConfigString;
using Updater::SelectForLanguage;
using Updater::SplitKeyValueList;
namespace Id = Updater::StringId;

struct PerLanguageEntry {
    unsigned id;
    const char* what;
};
// The entries that a language list turns into lists, in the order the updater's command line hands them on.
constexpr PerLanguageEntry PerLanguage[] = {
    {Id::GamePackage, "game package"},
    {Id::SkinPackage, "skin package"},
    {Id::GameName, "game name"},
    {Id::GameFolderName, "game folder"},
};

bool Known(unsigned id) {
    return (id >= Id::ManifestHost && id <= Id::GameFolderName) ||
           (id >= Id::Languages && id <= Id::RetryPauses);
}

std::string Codes(const Updater::KeyValueList& languages) {
    std::string codes;
    for (const auto& [code, name] : languages) {
        codes += (codes.empty() ? "" : ", ") + code;
    }
    return codes;
}

}  // namespace

std::vector<std::string> TableProblems(const Updater::StringTable& table) {
    std::vector<std::string> problems;
    for (const auto& [id, value] : table.Entries()) {
        if (!Known(id)) {
            problems.push_back("entry " + std::to_string(id) +
                               " is not one the updater reads (102 to 109, 129 to 135): remove it (--unset " +
                               std::to_string(id) + ")");
        }
    }
    const std::string languageText = LoadConfigString(table, Id::Languages);
    const Updater::KeyValueList languages = SplitKeyValueList(languageText);
    const std::string defaultLanguage = LoadConfigString(table, Id::DefaultLanguage);
    if (languages.empty()) {
        if (!languageText.empty()) {
            problems.push_back(
                "entry 129 lists no language: write code=Name pairs separated by ';' (129=en=English;"
                "de=Deutsch)");
        }
        if (!defaultLanguage.empty()) {
            problems.push_back(
                "entry 130 is " + defaultLanguage +
                ", but 129 lists no language: the updater ignores it; list the languages in 129 or "
                "remove 130 (--unset 130)");
        }
        return problems;
    }
    const std::string codes = Codes(languages);
    for (const PerLanguageEntry& entry : PerLanguage) {
        const std::string value = LoadConfigString(table, entry.id);
        std::vector<std::string> missing;
        std::string suggestion;
        for (const auto& [code, name] : languages) {
            std::string selected = SelectForLanguage(code, value);
            if (selected.empty()) {
                missing.push_back(code);
                // A plain value is most likely meant for every language.
                selected = value.find('=') == std::string::npos && !value.empty() ? value : "...";
            }
            suggestion += (suggestion.empty() ? "" : ";") + code + "=" + selected;
        }
        if (missing.empty()) {
            continue;
        }
        const std::string id = std::to_string(entry.id);
        std::string problem = "entry " + id + " (" + entry.what + ") ";
        if (!table.Find(entry.id)) {
            problem += "is not set";
        } else if (value.empty()) {
            problem += "is empty";
        } else if (value.find('=') == std::string::npos) {
            problem += "is a plain value";
        } else {
            problem += "is a list without a value for every language";
        }
        std::string none;
        for (const std::string& code : missing) {
            none += (none.empty() ? "" : ", ") + code;
        }
        problems.push_back(problem + ", but 129 lists languages (" + codes +
                           "): the updater would use an empty " + entry.what + " for " +
                           (missing.size() == languages.size() ? "every language" : none) + "; write " + id +
                           "='" + suggestion + "'");
    }
    const bool listed = std::any_of(languages.begin(), languages.end(),
                                    [&](const auto& language) { return language.first == defaultLanguage; });
    if (!listed) {
        problems.push_back((defaultLanguage.empty() ? std::string("entry 130 (default language) is not set")
                                                    : "entry 130 (default language) is " + defaultLanguage) +
                           ", but must be one of the codes of 129 (" + codes +
                           "): write 130=" + languages.front().first);
    }
    return problems;
}

std::string PerLanguageValues(const Updater::StringTable& table) {
    const Updater::KeyValueList languages = SplitKeyValueList(LoadConfigString(table, Id::Languages));
    const std::string defaultLanguage = LoadConfigString(table, Id::DefaultLanguage);
    const auto values = [&](const std::string& code) {
        std::string line;
        for (const PerLanguageEntry& entry : PerLanguage) {
            const std::string stored = LoadConfigString(table, entry.id);
            const std::string value = code.empty() ? stored : SelectForLanguage(code, stored);
            line += std::string(line.empty() ? "" : " | ") + entry.what + " " + std::to_string(entry.id) +
                    ": " +
                    (!value.empty()                ? value
                     : entry.id == Id::SkinPackage ? "(empty)"
                                                   : "(empty: the updater will not start)");
        }
        return line + "\n";
    };
    if (languages.empty()) {
        return "# As the updater uses them (no language list):\n#   " + values("");
    }
    std::string text = "# As the updater uses them, per language of 129:\n";
    for (const auto& [code, name] : languages) {
        text +=
            "#   " + code + " (" + name + (code == defaultLanguage ? ", default" : "") + "): " + values(code);
    }
    return text;
}

}  // namespace halcyne::stamp

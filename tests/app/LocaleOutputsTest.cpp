#include <gtest/gtest.h>

#include "MoFile.hpp"
#include "app/CatalogLocale.hpp"
#include "app/EmbeddedCatalogs.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

// The embedded catalogs, noting every folder the locale asks for and the encoding it asks in.
class RecordingCatalog : public EmbeddedMessageCatalog {
public:
    RecordingCatalog() : EmbeddedMessageCatalog("updater") { AddAllCatalogs(); }
    std::vector<char> Load(const std::string& fileName, const std::string& encoding) const override {
        const std::string folder = fileName.substr(1, fileName.find("/LC_MESSAGES/") - 1);
        folders += (folders.empty() ? "" : ",") + folder + "{" + encoding + "}";
        return EmbeddedMessageCatalog::Load(fileName, encoding);
    }
    mutable std::string folders;
};

struct Answer {
    std::string question;
    std::string expected;
    int line;
};

struct Case {
    std::string code;
    std::string environment;
    std::vector<Answer> answers;
};

std::vector<Case> ReadCases() {
    std::istringstream in(test::ReadFileText(test::SourceDir() + "/tests/app/data/locale_outputs.tsv"));
    std::vector<Case> cases;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        // A fifth field notes the earlier answer where it differs on purpose.
        const bool note = fields.size() == 5 && fields[4].rfind("was: ", 0) == 0;
        if ((fields.size() != 4 && !note) || fields[0].size() < 2 || fields[0].front() != '[' ||
            fields[0].back() != ']') {
            ADD_FAILURE() << "line " << number
                          << " is not [code], environment, question, answer[, was: answer]";
            continue;
        }
        const std::string code = fields[0].substr(1, fields[0].size() - 2);
        if (cases.empty() || cases.back().code != code || cases.back().environment != fields[1]) {
            cases.push_back({code, fields[1], {}});
        }
        cases.back().answers.push_back({fields[2], fields[3], number});
    }
    return cases;
}

// The language whose catalog translates every message, "en" when none does, "?" for a mix.
std::string CatalogInUse(const SimpleLocale& locale) {
    const auto translatesAll = [&](const std::map<std::string, std::string>& entries) {
        for (const auto message : AllMessages) {
            const auto found = entries.find(std::string(message));
            if (locale.Translate(std::string(message)) !=
                (found == entries.end() ? std::string(message) : found->second)) {
                return false;
            }
        }
        return true;
    };
    if (translatesAll({})) {
        return "en";
    }
    for (std::size_t i = 0; i < EmbeddedCatalogCount; ++i) {
        const auto mo = test::ReadMoFile(EmbeddedCatalogBytes(EmbeddedCatalogTable[i].id));
        if (mo && translatesAll(mo->entries)) {
            return mo->HeaderField("Language");
        }
    }
    return "?";
}

std::string Ask(const SimpleLocale& locale, const RecordingCatalog& catalog, const std::string& question) {
    if (question == "catalog") {
        return CatalogInUse(locale);
    }
    if (question == "folders") {
        return catalog.folders;
    }
    if (question.size() > 1 && question[0] == 't') {
        return locale.TimeRemainingText(std::stoi(question.substr(1)));
    }
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    if (std::sscanf(question.c_str(), "d%d:%d:%d", &hours, &minutes, &seconds) == 3) {
        return locale.DurationText(hours, minutes, seconds);
    }
    ADD_FAILURE() << "unknown question " << question;
    return {};
}

// Every answer of the recorded table: the catalog each language code and system locale gets, the folders it
// asks for, and the time-remaining texts with their numbers in the locale's format.
TEST(LocaleOutputsTest, AnswersAsRecorded) {
    const std::vector<Case> cases = ReadCases();
    ASSERT_FALSE(cases.empty());
    const char* variables[] = {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_NUMERIC", "LANG", "LANGUAGE"};
    for (const Case& c : cases) {
        SCOPED_TRACE("[" + c.code + "] " + c.environment);
        std::vector<std::unique_ptr<test::ScopedEnvironment>> environment;
        for (const char* variable : variables) {
            environment.push_back(std::make_unique<test::ScopedEnvironment>(variable, std::nullopt));
        }
        if (c.environment != "-" && c.environment != "none") {
            std::istringstream settings(c.environment);
            for (std::string setting; std::getline(settings, setting, ',');) {
                const std::size_t equals = setting.find('=');
                environment.push_back(std::make_unique<test::ScopedEnvironment>(setting.substr(0, equals),
                                                                                setting.substr(equals + 1)));
            }
        }
        RecordingCatalog catalog;
        CatalogLocale locale(catalog, c.code);
        EXPECT_EQ(locale.GetLanguage(), c.code);
        for (const auto& answer : c.answers) {
            EXPECT_EQ(Ask(locale, catalog, answer.question), answer.expected)
                << answer.question << " (line " << answer.line << ")";
        }
    }
}

}  // namespace
}  // namespace halcyne::Updater

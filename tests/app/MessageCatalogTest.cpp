#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "MoFile.hpp"
#include "app/CatalogLocale.hpp"
#include "app/EmbeddedCatalogs.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"
#include "app/StringTable.hpp"

namespace halcyne::Updater {
namespace {

// The catalog language that each embedded resource id holds.
const std::map<std::uint16_t, std::string> CatalogLanguages = {
    {111, "cs"}, {112, "de"}, {113, "el"}, {114, "es_AR"}, {115, "es_ES"}, {116, "fr"},
    {117, "it"}, {118, "ja"}, {119, "ko"}, {120, "nl"},    {121, "pl"},    {122, "pt"},
    {123, "ro"}, {124, "ru"}, {125, "th"}, {126, "tr"},    {127, "zh_CN"}, {128, "zh_TW"},
};

test::MoFile ReadCatalog(std::uint16_t id) {
    const auto mo = test::ReadMoFile(EmbeddedCatalogBytes(id));
    if (!mo) {
        ADD_FAILURE() << "resource " << id << " is not a readable catalog";
        return {};
    }
    return *mo;
}

// Every "{...}" of a text, sorted; a brace outside such a pair counts as a placeholder of its own, so that a
// stray one never passes.
std::multiset<std::string> Placeholders(const std::string& text) {
    static const std::regex token(R"(\{[0-9]+\}|[{}])");
    std::multiset<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), token); it != std::sregex_iterator();
         ++it) {
        found.insert(it->str());
    }
    return found;
}

TEST(EmbeddedCatalogTest, EveryCatalogTranslatesEveryMessageWithItsPlaceholders) {
    ASSERT_EQ(EmbeddedCatalogCount, CatalogLanguages.size());
    const std::set<std::string> ids(AllMessages.begin(), AllMessages.end());
    ASSERT_EQ(ids.size(), AllMessages.size());  // no id twice
    for (const auto& [id, language] : CatalogLanguages) {
        SCOPED_TRACE(language);
        const test::MoFile mo = ReadCatalog(id);
        EXPECT_EQ(mo.HeaderField("Language"), language);
        EXPECT_EQ(mo.HeaderField("Content-Type"), "text/plain; charset=UTF-8");
        ASSERT_EQ(mo.entries.size(), AllMessages.size() + 1);  // the header and every message
        for (const auto& [message, translation] : mo.entries) {
            if (message.empty()) {
                continue;
            }
            SCOPED_TRACE(message);
            EXPECT_TRUE(ids.count(message)) << "not a message of the updater";
            EXPECT_FALSE(translation.empty());
            EXPECT_TRUE(IsValidUtf8(translation));
            EXPECT_EQ(Placeholders(translation), Placeholders(message));
            // The support sentence ends the messages that send the player on; its host must survive
            // translation.
            if (message.find("support.") != std::string::npos) {
                EXPECT_TRUE(message == Message::UnexpectedError || message == Message::LaunchFailed ||
                            message == Message::ConfigurationError || message == Message::NotPublished ||
                            message == Message::NotVerified);
                EXPECT_NE(translation.find("support.halcyne.example"), std::string::npos);
            }
            // The terminal's question names the letter that retries: every language keeps it.
            if (message == Message::RetryPrompt) {
                EXPECT_TRUE(std::regex_search(translation, std::regex("(^|[^A-Za-z])r([^A-Za-z]|$)")));
            }
        }
    }
    const std::string unexpected = Message::UnexpectedError;
    const std::string launch = Message::LaunchFailed;
    EXPECT_EQ(unexpected, std::string("An unexpected error occurred. ") + SupportSentence);
    EXPECT_EQ(launch, std::string("The {1} Downloader could not be launched. ") + SupportSentence);
    for (const std::string message : {Message::NotPublished, Message::NotVerified}) {
        EXPECT_EQ(message.substr(message.size() - std::string(SupportSentence).size()), SupportSentence);
    }
    EXPECT_NE(std::string(SupportSentence).find("support.halcyne.example"), std::string::npos);
}

TEST(EmbeddedCatalogTest, LocaleNamesMapToTheirCatalogsInRegistrationOrder) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"cs", "cs"},       {"de", "de"},       {"el", "el"},       {"es", "es_ES"},    {"es_AR", "es_AR"},
        {"es_BO", "es_AR"}, {"es_CL", "es_AR"}, {"es_CO", "es_AR"}, {"es_CR", "es_AR"}, {"es_DO", "es_AR"},
        {"es_EC", "es_AR"}, {"es_SV", "es_AR"}, {"es_GT", "es_AR"}, {"es_HN", "es_AR"}, {"es_MX", "es_AR"},
        {"es_NI", "es_AR"}, {"es_PA", "es_AR"}, {"es_PY", "es_AR"}, {"es_PE", "es_AR"}, {"es_PR", "es_AR"},
        {"es_UY", "es_AR"}, {"es_VE", "es_AR"}, {"es_ES", "es_ES"}, {"fr", "fr"},       {"it", "it"},
        {"ja", "ja"},       {"ko", "ko"},       {"nl", "nl"},       {"pl", "pl"},       {"pt", "pt"},
        {"ro", "ro"},       {"ru", "ru"},       {"th", "th"},       {"tr", "tr"},       {"zh", "zh_CN"},
        {"zh_CN", "zh_CN"}, {"zh_SG", "zh_CN"}, {"zh_TW", "zh_TW"}, {"zh_HK", "zh_TW"}, {"zh_MO", "zh_TW"},
    };
    const auto& table = LocaleCatalogTable();
    ASSERT_EQ(table.size(), expected.size());
    EmbeddedMessageCatalog catalog("updater");
    catalog.AddAllCatalogs();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(table[i].first, expected[i].first);
        EXPECT_EQ(CatalogLanguages.at(table[i].second), expected[i].second);
        const std::vector<char> bytes =
            catalog.Load("/" + expected[i].first + "/LC_MESSAGES/updater.mo", "UTF-8");
        const auto mo =
            test::ReadMoFile(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
        ASSERT_TRUE(mo);
        EXPECT_EQ(mo->HeaderField("Language"), expected[i].second);
    }
}

TEST(EmbeddedCatalogTest, LoadFindsOnlyExactlyRegisteredNamesWithAnEmbeddedCatalog) {
    EmbeddedMessageCatalog catalog("updater");
    EXPECT_EQ(catalog.GetPath(), "");
    EXPECT_EQ(catalog.GetDomain(), "updater");
    catalog.AddCatalog("de", 112);
    catalog.AddCatalog("de", 116);  // the first id stays
    catalog.AddCatalog("xx", 999);  // no such resource
    const auto de = catalog.Load("/de/LC_MESSAGES/updater.mo", "ignored");
    EXPECT_EQ(de.size(), EmbeddedCatalogBytes(112).size());
    EXPECT_TRUE(std::equal(de.begin(), de.end(), EmbeddedCatalogBytes(112).begin(),
                           [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }));
    for (const char* name :
         {"/DE/LC_MESSAGES/updater.mo", "/de/LC_MESSAGES/Updater.mo", "de/LC_MESSAGES/updater.mo",
          "/de/LC_MESSAGES/other.mo", "/fr/LC_MESSAGES/updater.mo", "/xx/LC_MESSAGES/updater.mo"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(catalog.Load(name, "UTF-8").empty());
    }
}

// A catalog that hands out given bytes per folder, noting every file asked for.
class BytesCatalog : public MessageCatalog {
public:
    explicit BytesCatalog(std::map<std::string, std::vector<char>> folders) : folders_(std::move(folders)) {}
    std::string GetPath() const override { return ""; }
    std::string GetDomain() const override { return "updater"; }
    std::vector<char> Load(const std::string& fileName, const std::string&) const override {
        requested.push_back(fileName);
        const auto found = folders_.find(fileName.substr(1, fileName.find("/LC_MESSAGES/") - 1));
        return found == folders_.end() ? std::vector<char>() : found->second;
    }
    mutable std::vector<std::string> requested;

private:
    std::map<std::string, std::vector<char>> folders_;
};

TEST(EmbeddedCatalogTest, LocaleAsksForTheCandidateFoldersUntilOneHasACatalog) {
    BytesCatalog none({});
    CatalogLocale english(none, "pt_BR@x");
    EXPECT_EQ(none.requested,
              (std::vector<std::string>{"/pt_BR@x/LC_MESSAGES/updater.mo", "/pt@x/LC_MESSAGES/updater.mo",
                                        "/pt_BR/LC_MESSAGES/updater.mo", "/pt/LC_MESSAGES/updater.mo"}));

    const std::vector<char> catalog = test::WriteMoFile(
        {{"", "Content-Type: text/plain; charset=UTF-8\n"}, {"1 hour remaining", "1 Stunde"}});
    BytesCatalog austrian({{"de_AT", catalog}, {"de", std::vector<char>(40, '\x7f')}});
    CatalogLocale german(austrian, "de_AT@euro");
    EXPECT_EQ(austrian.requested,
              (std::vector<std::string>{"/de_AT@euro/LC_MESSAGES/updater.mo",
                                        "/de@euro/LC_MESSAGES/updater.mo", "/de_AT/LC_MESSAGES/updater.mo"}));
    EXPECT_EQ(german.Translate(Message::OneHourRemaining), "1 Stunde");

    // The first catalog found is the one, even when it cannot be read.
    BytesCatalog broken({{"de_AT", std::vector<char>(40, '\x7f')}, {"de", catalog}});
    CatalogLocale still(broken, "de_AT");
    EXPECT_EQ(broken.requested.size(), 1u);
    EXPECT_EQ(still.Translate(Message::OneHourRemaining), Message::OneHourRemaining);
}

void PutWord(std::vector<char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>(value >> (8 * i));
    }
}

TEST(EmbeddedCatalogTest, ADamagedCatalogLeavesTheTextsEnglish) {
    const std::string header = "Content-Type: text/plain; charset=UTF-8\n";
    // Entries in id order: the header, "1 hour remaining", "{1} hours remaining". The id table starts at 28,
    // the translation table at 52; entry i is (length, offset) at table + 8 i.
    const std::map<std::string, std::string> entries = {
        {"", header}, {Message::OneHourRemaining, "1 Stunde"}, {Message::HoursRemaining, "{1} Stunden"}};
    const std::vector<char> good = test::WriteMoFile(entries);
    const auto changed = [&](auto change) {
        std::vector<char> bytes = good;
        change(bytes);
        return bytes;
    };
    auto withEntry = [&](const std::string& id, const std::string& text) {
        auto copy = entries;
        copy[id] = text;
        return test::WriteMoFile(copy);
    };
    const std::size_t size = good.size();
    const struct {
        const char* name;
        std::vector<char> bytes;
        const char* oneHour;  // the translation of "1 hour remaining"; null: English
    } cases[] = {
        {"little-endian", good, "1 Stunde"},
        {"big-endian", test::WriteMoFile(entries, true), "1 Stunde"},
        {"wrong magic", std::vector<char>(40, '\x7f'), nullptr},
        {"three bytes", std::vector<char>(good.begin(), good.begin() + 3), nullptr},
        {"header fields only", std::vector<char>(good.begin(), good.begin() + 20), nullptr},
        {"cut inside the last string", std::vector<char>(good.begin(), good.end() - 3), nullptr},
        {"count beyond the tables", changed([](auto& b) { PutWord(b, 8, 0xFFFFFFFF); }), nullptr},
        {"id table past the end", changed([](auto& b) { PutWord(b, 12, 0xFFFFFFF8); }), nullptr},
        {"string past the end", changed([&](auto& b) { PutWord(b, 52 + 12, std::uint32_t(size) + 100); }),
         nullptr},
        // offset + length wraps around 32 bits to a small number
        {"length wrapping the offset", changed([](auto& b) {
             PutWord(b, 52 + 8, 0xFFFFFFF0);
             PutWord(b, 52 + 12, 0x20);
         }),
         nullptr},
        {"no charset", withEntry("", "Language: de\n"), nullptr},
        {"another charset", withEntry("", "Content-Type: text/plain; charset=ISO-8859-1\n"), nullptr},
        {"invalid UTF-8", withEntry(Message::HoursRemaining, "{1} Stunden \xC3\x28"), nullptr},
        // An empty translation is none: the message stays English, the others are translated.
        {"empty translation", withEntry(Message::OneHourRemaining, ""), Message::OneHourRemaining},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BytesCatalog catalog({{"de", c.bytes}});
        CatalogLocale locale(catalog, "de");
        const bool read = c.oneHour != nullptr;
        EXPECT_EQ(locale.Translate(Message::OneHourRemaining), read ? c.oneHour : Message::OneHourRemaining);
        EXPECT_EQ(locale.DurationText(1000, 0, 0), read ? "1.000 Stunden" : "1.000 hours remaining");
    }
}

}  // namespace
}  // namespace halcyne::Updater

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
    ASSERT_EQ(ids.size(), 20u);
    for (const auto& [id, language] : CatalogLanguages) {
        SCOPED_TRACE(language);
        const test::MoFile mo = ReadCatalog(id);
        EXPECT_EQ(mo.HeaderField("Language"), language);
        EXPECT_EQ(mo.HeaderField("Content-Type"), "text/plain; charset=UTF-8");
        ASSERT_EQ(mo.entries.size(), 21u);  // the header and the 20 messages
        for (const auto& [message, translation] : mo.entries) {
            if (message.empty()) {
                continue;
            }
            SCOPED_TRACE(message);
            EXPECT_TRUE(ids.count(message)) << "not a message of the updater";
            EXPECT_FALSE(translation.empty());
            EXPECT_TRUE(IsValidUtf8(translation));
            EXPECT_EQ(Placeholders(translation), Placeholders(message));
            // The support sentence ends two messages; its host must survive translation.
            if (message.find("support.") != std::string::npos) {
                EXPECT_TRUE(message == Message::UnexpectedError || message == Message::LaunchFailed);
                EXPECT_NE(translation.find("support.halcyne.example"), std::string::npos);
            }
        }
    }
    const std::string unexpected = Message::UnexpectedError;
    const std::string launch = Message::LaunchFailed;
    EXPECT_EQ(unexpected, std::string("An unexpected error occurred. ") + SupportSentence);
    EXPECT_EQ(launch, std::string("The {1} Downloader could not be launched. ") + SupportSentence);
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

// A catalog that hands out given bytes, to see what the locale makes of a broken one.
class BytesCatalog : public MessageCatalog {
public:
    explicit BytesCatalog(std::vector<char> bytes) : bytes_(std::move(bytes)) {}
    std::string GetPath() const override { return ""; }
    std::string GetDomain() const override { return "updater"; }
    std::vector<char> Load(const std::string& fileName, const std::string&) const override {
        requested.push_back(fileName);
        return bytes_;
    }
    mutable std::vector<std::string> requested;

private:
    std::vector<char> bytes_;
};

TEST(EmbeddedCatalogTest, LocaleAsksForTheCandidateFoldersAndSurvivesABrokenCatalog) {
    BytesCatalog broken(std::vector<char>(40, '\x7f'));
    CatalogLocale locale(broken, "de_AT@euro");
    EXPECT_EQ(broken.requested.front(), "/de_AT@euro/LC_MESSAGES/updater.mo");
    EXPECT_EQ(locale.Translate(Message::OneHourRemaining), Message::OneHourRemaining);

    BytesCatalog empty({});
    CatalogLocale english(empty, "pt_BR@x");
    EXPECT_EQ(empty.requested,
              (std::vector<std::string>{"/pt_BR@x/LC_MESSAGES/updater.mo", "/pt@x/LC_MESSAGES/updater.mo",
                                        "/pt_BR/LC_MESSAGES/updater.mo", "/pt/LC_MESSAGES/updater.mo"}));
}

}  // namespace
}  // namespace halcyne::Updater

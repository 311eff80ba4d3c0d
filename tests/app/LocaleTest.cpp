#include <climits>

#include <gtest/gtest.h>

#include "MoFile.hpp"
#include "app/CatalogLocale.hpp"
#include "app/EmbeddedCatalogs.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/LocaleName.hpp"
#include "app/Messages.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

class LocaleTest : public ::testing::Test {
protected:
    LocaleTest() { catalog.AddAllCatalogs(); }
    EmbeddedMessageCatalog catalog{"updater"};
};

// The translation of a message in the catalog with this resource id.
std::string CatalogText(std::uint16_t id, const std::string& message) {
    const auto mo = test::ReadMoFile(EmbeddedCatalogBytes(id));
    return mo ? mo->entries.at(message) : std::string();
}

TEST_F(LocaleTest, TimeRemainingTextChoosesTheMessageByHoursMinutesAndSeconds) {
    CatalogLocale locale(catalog, "en");
    const std::pair<int, std::string> cases[] = {
        {-1, "Calculating time remaining"},
        {0, "0 seconds remaining"},
        {1, "1 second remaining"},
        {2, "2 seconds remaining"},
        {59, "59 seconds remaining"},
        {60, "1 minute remaining"},
        {61, "2 minutes remaining"},  // a minute is added above one minute
        {3539, "59 minutes remaining"},
        {3540, "1 hour remaining"},
        {3599, "1 hour remaining"},
        {3600, "1 hour, 1 minute remaining"},
        {3720, "1 hour, 3 minutes remaining"},
        {7140, "2 hours remaining"},
        {7200, "2 hours, 1 minute remaining"},
        {7260, "2 hours, 2 minutes remaining"},
        // Near the 32-bit limits: no overflow, and negative estimates read as nothing left.
        {INT_MAX, "596,523 hours, 15 minutes remaining"},
        {INT_MAX - 60, "596,523 hours, 14 minutes remaining"},
        {-2, "0 seconds remaining"},
        {-5, "0 seconds remaining"},
        {-3700, "0 seconds remaining"},
        {INT_MIN, "0 seconds remaining"},
    };
    for (const auto& [seconds, expected] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(locale.TimeRemainingText(seconds), expected);
    }
    // DurationText takes any split, also one the time-remaining text never makes.
    EXPECT_EQ(locale.DurationText(0, 0, -7), "0 seconds remaining");
    EXPECT_EQ(locale.DurationText(-1, -1, 5), "5 seconds remaining");
    EXPECT_EQ(locale.DurationText(1, 0, 59), "1 hour remaining");
}

TEST_F(LocaleTest, TranslationsKeepEveryByteOfNonAsciiText) {
    CatalogLocale locale(catalog, "ja");
    EXPECT_EQ(locale.GetLanguage(), "ja");
    // 残り 1 分
    EXPECT_EQ(locale.TimeRemainingText(60), "\xE6\xAE\x8B\xE3\x82\x8A \x31 \xE5\x88\x86");
    locale.SetLanguage("ru");
    // Осталось: 1 ч 3 мин
    EXPECT_EQ(locale.TimeRemainingText(3720),
              "\xD0\x9E\xD1\x81\xD1\x82\xD0\xB0\xD0\xBB\xD0\xBE\xD1\x81\xD1\x8C: 1 \xD1\x87 3 "
              "\xD0\xBC\xD0\xB8\xD0\xBD");
    locale.SetLanguage("de");
    EXPECT_EQ(locale.Translate(Message::OutOfMemory), CatalogText(112, Message::OutOfMemory));
    EXPECT_NE(locale.Translate(Message::OutOfMemory)
                  .find("ge\xC3\xB6"
                        "ffnet"),
              std::string::npos);
    // Hours in the locale's number format.
    EXPECT_EQ(locale.TimeRemainingText(INT_MAX), "596.523 Stunden, 15 Minuten verbleibend");
    EXPECT_EQ(locale.Translate(""), "");  // never the catalog's header
}

TEST_F(LocaleTest, SystemLocaleWithoutUtf8StillGetsUtf8Texts) {
    // LC_CTYPE is read before LC_ALL.
    test::ScopedEnvironment ctype("LC_CTYPE", std::nullopt);
    for (const char* system : {"de_DE", "de_DE.ISO-8859-1", "de_AT@euro"}) {
        SCOPED_TRACE(system);
        test::ScopedEnvironment all("LC_ALL", system);
        CatalogLocale locale(catalog, "");
        EXPECT_EQ(locale.GetLanguage(), "");
        EXPECT_EQ(locale.Translate(Message::OutOfMemory), CatalogText(112, Message::OutOfMemory));
    }
    EXPECT_EQ(Utf8LocaleName("de"), "de.UTF-8");
    EXPECT_EQ(Utf8LocaleName("de_AT.ISO-8859-1@euro"), "de_AT.UTF-8@euro");
    {
        test::ScopedEnvironment all("LC_ALL", "POSIX");
        EXPECT_EQ(Utf8LocaleName(""), "C.UTF-8");
    }
}

TEST_F(LocaleTest, LanguageCodesFallBackToTheCatalogOfTheirLanguage) {
    const std::pair<std::string, std::uint16_t> cases[] = {
        {"de", 112},    {"de_AT", 112}, {"de_CH.UTF-8", 112}, {"es_MX", 114}, {"es", 115},
        {"es_ES", 115}, {"zh_HK", 128}, {"zh", 127},          {"zh_SG", 127}, {"pt_BR", 122},
        {"ja", 118},    {"en", 0},      {"en_US", 0},         {"xx", 0},
    };
    CatalogLocale locale(catalog, "");
    for (const auto& [code, id] : cases) {
        SCOPED_TRACE(code);
        locale.SetLanguage(code);
        EXPECT_EQ(locale.GetLanguage(), code);
        for (const auto message : {Message::UnexpectedError, Message::HoursMinutesRemaining}) {
            EXPECT_EQ(locale.Translate(message), id == 0 ? std::string(message) : CatalogText(id, message));
        }
    }
}

TEST_F(LocaleTest, FormatInsertsArgumentsAndFormatTranslatedTranslatesThem) {
    CatalogLocale locale(catalog, "de");
    // The game name "{1} Downloader" is itself a message id: only FormatTranslated looks it up.
    EXPECT_EQ(locale.Format(Message::DownloaderTitle, "{1} Downloader"), "{1} Downloader Downloader");
    EXPECT_EQ(locale.FormatTranslated(Message::LaunchingDownloader, "1 hour remaining"),
              "1 Stunde verbleibend Downloader wird gestartet");
    EXPECT_EQ(locale.Format(Message::LaunchingDownloader, "1 hour remaining"),
              "1 hour remaining Downloader wird gestartet");
    EXPECT_EQ(locale.Format(Message::HoursMinutesRemaining, "3", "4"), "3 Stunden, 4 Minuten verbleibend");
    EXPECT_EQ(locale.Format("{1}{1} {2}{2}", "a", "b"), "aa bb");
    EXPECT_EQ(locale.Format("{1} and {1}", "x{1}"), "x{1} and x{1}");  // inserted text is not searched again
    EXPECT_EQ(locale.Format("no placeholder", "x"), "no placeholder");
}

TEST_F(LocaleTest, NumbersPercentsAndByteSizesUseTheCFormat) {
    test::ScopedEnvironment all("LC_ALL", "de_DE.UTF-8");
    CatalogLocale locale(catalog, "de");
    EXPECT_EQ(locale.NumberText(1234567.891, 2), "1234567.89");
    EXPECT_EQ(locale.NumberText(2.5, 0), "2");  // round half to even, as printf does
    EXPECT_EQ(locale.NumberText(0.125, -3), "0");
    EXPECT_EQ(locale.PercentText(0.4567, 1), "45.7%");
    EXPECT_EQ(locale.PercentText(1, 0), "100%");
    const std::pair<std::uint64_t, std::string> sizes[] = {
        {0, "0 KB"},
        {1023, "1 KB"},
        {1048575, "1024 KB"},
        {1048576, "1.00 MB"},
        {1572864, "1.50 MB"},
        {(std::uint64_t{1} << 30) - 1, "1024.00 MB"},
        {std::uint64_t{1} << 30, "1.00 GB"},
        {std::uint64_t{5} << 40, "5120.00 GB"},
        {UINT64_MAX, "17179869184.00 GB"},
    };
    for (const auto& [bytes, expected] : sizes) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(locale.ByteSizeText(bytes), expected);
    }
}

}  // namespace
}  // namespace halcyne::Updater

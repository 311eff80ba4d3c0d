#include "app/CatalogLocale.hpp"

#include <algorithm>

#include "app/LocaleName.hpp"
#include "app/Messages.hpp"

namespace halcyne::Updater {

namespace {

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

CatalogLocale::CatalogLocale(const MessageCatalog& catalog, const std::string& language) : catalog_(catalog) {
    CatalogLocale::SetLanguage(language);
}

std::string CatalogLocale::GetLanguage() const {
    return language_;
}

void CatalogLocale::SetLanguage(const std::string& code) {
    language_ = code;
    localeName_ = Utf8LocaleName(code);
    translations_.clear();
    const LocaleParts parts = ParseLocaleName(localeName_);
    for (const std::string& folder : CatalogFolders(parts)) {
        const std::vector<char> bytes =
            catalog_.Load(catalog_.GetPath() + "/" + folder + "/LC_MESSAGES/" + catalog_.GetDomain() + ".mo",
                          parts.encoding);
        if (bytes.empty()) {
            continue;
        }
        // The first catalog found is the one: a damaged one leaves the texts English, as a missing one does.
        std::optional<MoTranslations> translations = ReadMoCatalog(bytes);
        // A name that did not parse up to its UTF-8 encoding is an ASCII locale: a catalog with non-ASCII
        // text cannot be shown in it.
        if (translations && parts.encoding != "utf-8" &&
            !std::all_of(translations->begin(), translations->end(),
                         [](const auto& entry) { return IsAscii(entry.second); })) {
            translations.reset();
        }
        if (translations) {
            translations_ = std::move(*translations);
        }
        break;
    }
}

std::string CatalogLocale::Translate(const std::string& text) const {
    const auto found = translations_.find(text);
    return found == translations_.end() ? text : found->second;
}

std::string CatalogLocale::DurationText(int hours, int minutes, int seconds) const {
    const char* message = nullptr;
    int first = 0;
    int second = 0;
    if (hours >= 2) {
        first = hours;
        if (minutes >= 2) {
            message = Message::HoursMinutesRemaining;
            second = minutes;
        } else {
            message = minutes == 1 ? Message::HoursOneMinuteRemaining : Message::HoursRemaining;
        }
    } else if (hours == 1) {
        if (minutes >= 2) {
            message = Message::OneHourMinutesRemaining;
            first = minutes;
        } else {
            message = minutes == 1 ? Message::OneHourOneMinuteRemaining : Message::OneHourRemaining;
        }
    } else if (minutes >= 2) {
        message = Message::MinutesRemaining;
        first = minutes;
    } else if (minutes == 1) {
        message = Message::OneMinuteRemaining;
    } else if (seconds == 1) {
        message = Message::OneSecondRemaining;
    } else {
        message = Message::SecondsRemaining;
        first = std::max(seconds, 0);
    }
    // One pass over the text, so that a number is never searched for placeholders again.
    const std::string text = Translate(message);
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, 3, "{1}") == 0 || text.compare(at, 3, "{2}") == 0) {
            result += LocaleNumberText(localeName_, text[at + 1] == '1' ? first : second);
            at += 3;
        } else {
            result += text[at++];
        }
    }
    return result;
}

}  // namespace halcyne::Updater

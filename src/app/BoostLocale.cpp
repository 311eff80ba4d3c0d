#include "app/BoostLocale.hpp"

#include <algorithm>
#include <sstream>

#include <boost/locale.hpp>

#include "app/Messages.hpp"

namespace halcyne::Updater {

std::string Utf8LocaleName(const std::string& code) {
    const std::string name = code.empty() ? boost::locale::util::get_system_locale() : code;
    const std::size_t at = name.find('@');
    const std::string base = name.substr(0, std::min(name.find('.'), at));
    const std::string variant = at == std::string::npos ? std::string() : name.substr(at);
    return (base.empty() || base == "POSIX" ? std::string("C") : base) + ".UTF-8" + variant;
}

BoostLocale::BoostLocale(std::string domain, std::string path, std::string language)
    : domain_(std::move(domain)), path_(std::move(path)), language_(std::move(language)) {}

std::string BoostLocale::GetLanguage() const {
    return language_;
}

std::string BoostLocale::Translate(const std::string& text) const {
    // gettext answers the empty id with the catalog's header, which is no translation.
    if (text.empty()) {
        return text;
    }
    return boost::locale::translate(text).str(locale_, domain_);
}

std::string BoostLocale::LocaleNumber(int value) const {
    std::ostringstream out;
    out.imbue(locale_);
    out << boost::locale::as::number << value;
    return out.str();
}

std::string BoostLocale::DurationText(int hours, int minutes, int seconds) const {
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
    boost::locale::format text(Translate(message));
    return (text % LocaleNumber(first) % LocaleNumber(second)).str(locale_);
}

}  // namespace halcyne::Updater

#include "app/SimpleLocale.hpp"

#include <algorithm>
#include <iomanip>
#include <locale>
#include <sstream>

#include "app/Messages.hpp"

namespace halcyne::Updater {

std::string ReplaceAll(std::string text, const std::string& placeholder, const std::string& value) {
    if (placeholder.empty()) {
        return text;
    }
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

std::string SimpleLocale::FormatTranslated(const std::string& text, const std::string& argument) const {
    return Format(text, Translate(argument));
}

std::string SimpleLocale::Format(const std::string& text, const std::string& first,
                                 const std::string& second) const {
    return ReplaceAll(Format(text, first), "{2}", second);
}

std::string SimpleLocale::Format(const std::string& text, const std::string& first) const {
    return ReplaceAll(Translate(text), "{1}", first);
}

std::string SimpleLocale::NumberText(double value, int precision) const {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(std::max(precision, 0)) << value;
    return out.str();
}

std::string SimpleLocale::PercentText(double value, int precision) const {
    return NumberText(value * 100.0, precision) + "%";
}

std::string SimpleLocale::ByteSizeText(std::uint64_t bytes) const {
    constexpr std::uint64_t mebi = std::uint64_t{1} << 20;
    constexpr std::uint64_t gibi = std::uint64_t{1} << 30;
    const double value = static_cast<double>(bytes);
    if (bytes < mebi) {
        return NumberText(value / 1024.0, 0) + " KB";
    }
    if (bytes < gibi) {
        return NumberText(value / static_cast<double>(mebi), 2) + " MB";
    }
    return NumberText(value / static_cast<double>(gibi), 2) + " GB";
}

std::string SimpleLocale::TimeRemainingText(int seconds) const {
    if (seconds == -1) {
        return Translate(Message::CalculatingTimeRemaining);
    }
    // Computed in 64 bits so that the added minute cannot overflow near the limit; a negative estimate other
    // than the "still calculating" marker means nothing is left.
    std::int64_t value = std::max(seconds, 0);
    if (value > 60) {
        value += 60;
    }
    return DurationText(static_cast<int>(value / 3600), static_cast<int>((value % 3600) / 60),
                        static_cast<int>(value % 60));
}

}  // namespace halcyne::Updater

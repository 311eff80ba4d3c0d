// The message locale: translates the updater's English messages and writes numbers, sizes and times as text.
// The language is set on the interface thread before the transfers start; afterwards the interface and the
// monitor thread only read (translate and format), so it needs no lock. Calls nothing back.
#pragma once

#include <cstdint>
#include <string>

namespace halcyne::Updater {

class SimpleLocale {
public:
    virtual ~SimpleLocale() = default;

    // The current language code.
    virtual std::string GetLanguage() const = 0;
    virtual void SetLanguage(const std::string& code) = 0;
    // The translation of a message id; a text without translation comes back unchanged.
    virtual std::string Translate(const std::string& text) const = 0;
    // The translated text with every "{1}" replaced by the translated argument.
    virtual std::string FormatTranslated(const std::string& text, const std::string& argument) const;
    // Format(text, first) with every "{2}" replaced by the second argument.
    virtual std::string Format(const std::string& text, const std::string& first,
                               const std::string& second) const;
    // The translated text with every "{1}" replaced by the argument, which is not translated.
    virtual std::string Format(const std::string& text, const std::string& first) const;
    // The value in fixed-point notation with `precision` digits after the point, in the "C" number format.
    virtual std::string NumberText(double value, int precision) const;
    // NumberText of value × 100, then "%".
    virtual std::string PercentText(double value, int precision) const;
    // The size in KB (below 2^20 bytes, no decimals), MB (below 2^30) or GB (two decimals each).
    virtual std::string ByteSizeText(std::uint64_t bytes) const;
    // -1 gives the translated "Calculating time remaining"; any other negative value reads as no time left;
    // otherwise the value (plus a minute when above one minute) as hours, minutes and seconds.
    virtual std::string TimeRemainingText(int seconds) const;
    // The translated time-remaining message for a duration, numbers in the locale's format.
    virtual std::string DurationText(int hours, int minutes, int seconds) const = 0;
};

// Replaces every occurrence of `placeholder`, left to right; inserted text is not searched again.
std::string ReplaceAll(std::string text, const std::string& placeholder, const std::string& value);

}  // namespace halcyne::Updater

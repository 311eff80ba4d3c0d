#include "app/LocaleName.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace halcyne::Updater {

namespace {

bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}

bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (IsUpper(c)) {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (IsLower(c)) {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// How a language (or one of its countries) groups digits: the separator between groups of three, and
// whether the groups above the thousands have two digits (India). An empty separator: no grouping.
struct NumberFormat {
    std::string_view language;
    std::string_view country;  // empty: the language's default
    std::string_view separator;
    bool indian = false;
};

constexpr std::string_view Comma = ",";
constexpr std::string_view Dot = ".";
constexpr std::string_view NoBreakSpace = "\xC2\xA0";            // U+00A0
constexpr std::string_view NarrowNoBreakSpace = "\xE2\x80\xAF";  // U+202F
constexpr std::string_view Apostrophe = "\xE2\x80\x99";          // U+2019

// The languages the updater has catalogs for and English, with the countries that write numbers otherwise
// than their language's default (the common locale data's grouping; none of these leaves four-digit numbers
// ungrouped here).
constexpr NumberFormat NumberFormats[] = {
    {"en", "", Comma},
    {"en", "AT", Dot},
    {"en", "BE", Dot},
    {"en", "CH", Apostrophe},
    {"en", "DE", Dot},
    {"en", "DK", Dot},
    {"en", "FI", NoBreakSpace},
    {"en", "IN", Comma, true},
    {"en", "NL", Dot},
    {"en", "SE", NoBreakSpace},
    {"en", "SI", Dot},
    {"en", "ZA", NoBreakSpace},
    {"cs", "", NoBreakSpace},
    {"de", "", Dot},
    {"de", "AT", NoBreakSpace},
    {"de", "CH", Apostrophe},
    {"de", "LI", Apostrophe},
    {"el", "", Dot},
    {"es", "", Dot},
    {"es", "419", Comma},
    {"es", "BR", Comma},
    {"es", "BZ", Comma},
    {"es", "CR", NoBreakSpace},
    {"es", "CU", Comma},
    {"es", "DO", Comma},
    {"es", "GT", Comma},
    {"es", "HN", Comma},
    {"es", "MX", Comma},
    {"es", "NI", Comma},
    {"es", "PA", Comma},
    {"es", "PE", Comma},
    {"es", "PR", Comma},
    {"es", "SV", Comma},
    {"es", "US", Comma},
    {"fr", "", NarrowNoBreakSpace},
    {"fr", "CA", NoBreakSpace},
    {"fr", "LU", Dot},
    {"fr", "MA", Dot},
    {"it", "", Dot},
    {"it", "CH", Apostrophe},
    {"ja", "", Comma},
    {"ko", "", Comma},
    {"nl", "", Dot},
    {"pl", "", NoBreakSpace},
    {"pt", "", Dot},
    {"pt", "AO", NoBreakSpace},
    {"pt", "CH", NoBreakSpace},
    {"pt", "CV", NoBreakSpace},
    {"pt", "GQ", NoBreakSpace},
    {"pt", "GW", NoBreakSpace},
    {"pt", "LU", NoBreakSpace},
    {"pt", "MO", NoBreakSpace},
    {"pt", "MZ", NoBreakSpace},
    {"pt", "PT", NoBreakSpace},
    {"pt", "ST", NoBreakSpace},
    {"pt", "TL", NoBreakSpace},
    {"ro", "", Dot},
    {"ru", "", NoBreakSpace},
    {"th", "", Comma},
    {"tr", "", Dot},
    {"zh", "", Comma},
};

// The number format of a locale name: its language and country are read leniently (either separator, any
// case, a script such as "Hant" skipped); a language without a row writes plain digits.
NumberFormat FindNumberFormat(const std::string& name) {
    const std::string base = name.substr(0, name.find_first_of(".@"));
    std::vector<std::string> subtags;
    for (std::size_t start = 0;;) {
        const std::size_t end = base.find_first_of("-_", start);
        subtags.push_back(base.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    const std::string language = Lower(subtags[0]);
    std::string country;
    if (subtags.size() > 1) {
        country = Upper(subtags[1].size() == 4 && subtags.size() > 2 ? subtags[2] : subtags[1]);
    }
    const NumberFormat* found = nullptr;
    for (const NumberFormat& format : NumberFormats) {
        if (format.language == language && (format.country == country || format.country.empty())) {
            if (!found || !format.country.empty()) {
                found = &format;
            }
        }
    }
    return found ? *found : NumberFormat{};
}

}  // namespace

std::string SystemLocaleName() {
    for (const char* variable : {"LC_CTYPE", "LC_ALL", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            return value;
        }
    }
    return "C";
}

std::string Utf8LocaleName(const std::string& code) {
    const std::string name = code.empty() ? SystemLocaleName() : code;
    const std::size_t at = name.find('@');
    const std::string base = name.substr(0, std::min(name.find('.'), at));
    const std::string variant = at == std::string::npos ? std::string() : name.substr(at);
    return (base.empty() || base == "POSIX" ? std::string("C") : base) + ".UTF-8" + variant;
}

LocaleParts ParseLocaleName(const std::string& name) {
    LocaleParts parts;
    // Each step reads one part and hands the rest, after the separator that ended the part, to the next.
    std::size_t end = name.find_first_of("-_.@");
    const std::string language = Lower(name.substr(0, end));
    if (language.empty() || !std::all_of(language.begin(), language.end(), IsLower)) {
        return parts;
    }
    parts.language = language;
    if (end != std::string::npos && (name[end] == '-' || name[end] == '_')) {
        const std::size_t start = end + 1;
        end = name.find_first_of(".@", start);
        const std::string country = Upper(name.substr(start, end - start));
        if (country.empty() || !std::all_of(country.begin(), country.end(), IsUpper)) {
            return parts;
        }
        parts.country = country;
    }
    if (end != std::string::npos && name[end] == '.') {
        const std::size_t start = end + 1;
        end = name.find('@', start);
        const std::string encoding = Lower(name.substr(start, end - start));
        if (encoding.empty()) {
            return parts;
        }
        parts.encoding = encoding;
    }
    if (end != std::string::npos && name[end] == '@') {
        parts.variant = Lower(name.substr(end + 1));
    }
    return parts;
}

std::vector<std::string> CatalogFolders(const LocaleParts& parts) {
    std::vector<std::string> folders;
    const std::string country = parts.country.empty() ? std::string() : "_" + parts.country;
    if (!parts.variant.empty()) {
        if (!country.empty()) {
            folders.push_back(parts.language + country + "@" + parts.variant);
        }
        folders.push_back(parts.language + "@" + parts.variant);
    }
    if (!country.empty()) {
        folders.push_back(parts.language + country);
    }
    folders.push_back(parts.language);
    return folders;
}

std::string LocaleNumberText(const std::string& localeName, long long value) {
    const NumberFormat format = FindNumberFormat(localeName);
    const std::string digits = std::to_string(value < 0 ? -static_cast<unsigned long long>(value)
                                                        : static_cast<unsigned long long>(value));
    std::string text = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const std::size_t left = digits.size() - i;  // digits from this one to the end
        const bool boundary =
            i > 0 && (left == 3 || (left > 3 && (format.indian ? (left - 3) % 2 == 0 : left % 3 == 0)));
        if (boundary) {
            text += format.separator;
        }
        text += digits[i];
    }
    return text;
}

}  // namespace halcyne::Updater

// Locale names ("de_AT.UTF-8@euro"): the user's system locale, the parts a name is made of, the catalog
// folders it looks in, and how it writes numbers. Pure functions (the system locale reads the environment):
// any thread may call.
#pragma once

#include <string>
#include <vector>

namespace halcyne::Updater {

// The user's locale name: the first non-empty one of LC_CTYPE, LC_ALL and LANG, in that order (LC_MESSAGES
// and LANGUAGE are not read), or "C".
std::string SystemLocaleName();

// The name to use for a language code: any encoding in the code is replaced by UTF-8 (a bare "de" would
// otherwise read as an ASCII locale and lose every non-ASCII character of its catalog); the empty code stands
// for the user's system locale.
std::string Utf8LocaleName(const std::string& code);

struct LocaleParts {
    std::string language = "C";         // lower case
    std::string country;                // upper case
    std::string variant;                // lower case, after the "@"
    std::string encoding = "us-ascii";  // lower case
};

// The parts of language[_-]COUNTRY[.encoding][@variant]. The parse stops at the first part that is empty or
// not made of letters (a country "419", a trailing "_"): the parts before it are kept and the encoding stays
// "us-ascii", so such a name shows no non-ASCII text.
LocaleParts ParseLocaleName(const std::string& name);

// The catalog folders for these parts, most specific first: language_COUNTRY@variant, language@variant,
// language_COUNTRY, language (those whose parts are present).
std::vector<std::string> CatalogFolders(const LocaleParts& parts);

// The value with its digits grouped the way the locale's language (and country) writes numbers: "596.523" for
// German, "596 523" (a no-break space) for French, "5,96,523" for English in India. A language without a
// catalog of the updater, "C" and names that are no language write plain digits.
std::string LocaleNumberText(const std::string& localeName, long long value);

}  // namespace halcyne::Updater

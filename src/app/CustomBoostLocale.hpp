// The updater's message locale: Boost.Locale gettext over a MessageCatalog, whose Load is the only way
// catalogs are read (never from disk). SetLanguage runs on the interface thread before the transfers start;
// translation and formatting run on the interface and monitor threads. Calls the catalog's Load from
// SetLanguage.
#pragma once

#include <string>

#include "app/BoostLocale.hpp"
#include "app/MessageCatalog.hpp"

namespace halcyne::Updater {

class CustomBoostLocale : public BoostLocale {
public:
    // The catalog is not owned and must outlive the locale. Applies the language at once.
    CustomBoostLocale(const MessageCatalog& catalog, const std::string& language);

    // Generates a UTF-8 locale for the code (the empty code: the user's system locale) and loads the catalog
    // of the first of its folders (language_COUNTRY@variant, language@variant, language_COUNTRY, language)
    // that the catalog has; without one, texts stay English.
    void SetLanguage(const std::string& code) override;

private:
    const MessageCatalog& catalog_;
};

}  // namespace halcyne::Updater

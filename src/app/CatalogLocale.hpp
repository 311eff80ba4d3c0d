// The updater's message locale: gettext translation from the catalogs of a MessageCatalog, whose Load is the
// only way catalogs are read (never from disk), and the locale's number format. SetLanguage runs on the
// interface thread before the transfers start; translation and formatting run on the interface and monitor
// threads and only read. Calls the catalog's Load from SetLanguage.
#pragma once

#include <string>

#include "app/MessageCatalog.hpp"
#include "app/MoCatalog.hpp"
#include "app/SimpleLocale.hpp"

namespace halcyne::Updater {

class CatalogLocale : public SimpleLocale {
public:
    // The catalog is not owned and must outlive the locale. Applies the language at once.
    CatalogLocale(const MessageCatalog& catalog, const std::string& language);

    std::string GetLanguage() const override;
    // Takes the UTF-8 locale of the code (the empty code: the user's system locale) and loads the catalog of
    // the first of its folders (language_COUNTRY@variant, language@variant, language_COUNTRY, language) that
    // the catalog has. Without one, or when that one cannot be read, texts stay English.
    void SetLanguage(const std::string& code) override;
    std::string Translate(const std::string& text) const override;
    std::string DurationText(int hours, int minutes, int seconds) const override;

private:
    const MessageCatalog& catalog_;
    std::string language_;
    std::string localeName_;  // the UTF-8 locale name of the language, for its number format
    MoTranslations translations_;
};

}  // namespace halcyne::Updater

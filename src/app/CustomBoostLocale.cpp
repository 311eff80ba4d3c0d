#include "app/CustomBoostLocale.hpp"

#include <boost/locale.hpp>

namespace halcyne::Updater {

CustomBoostLocale::CustomBoostLocale(const MessageCatalog& catalog, const std::string& language)
    : BoostLocale(catalog.GetDomain(), catalog.GetPath(), language), catalog_(catalog) {
    CustomBoostLocale::SetLanguage(language);
}

void CustomBoostLocale::SetLanguage(const std::string& code) {
    language_ = code;
    const std::locale generated = boost::locale::generator()(Utf8LocaleName(code));
    const auto& info = std::use_facet<boost::locale::info>(generated);

    boost::locale::gnu_gettext::messages_info messages;
    messages.language = info.language();
    messages.country = info.country();
    messages.variant = info.variant();
    messages.encoding = info.encoding();
    messages.locale_category = "LC_MESSAGES";
    messages.domains.emplace_back(domain_);  // a bare domain name reads its catalog as UTF-8
    messages.paths.push_back(path_);
    const MessageCatalog* catalog = &catalog_;
    messages.callback = [catalog](const std::string& fileName, const std::string& encoding) {
        return catalog->Load(fileName, encoding);
    };
    try {
        locale_ = std::locale(generated, boost::locale::gnu_gettext::create_messages_facet<char>(messages));
    } catch (const std::exception&) {
        // A catalog that cannot be read leaves the texts in English, as a missing one does.
        locale_ = generated;
    }
}

}  // namespace halcyne::Updater

// The message catalog over the gettext catalogs embedded in the executable. Filled once at start-up on the
// main thread; afterwards only read (Load runs whenever the locale's language changes). Calls nothing back.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/MessageCatalog.hpp"

namespace halcyne::Updater {

// The locale names that have a catalog, in registration order, with the resource id each maps to.
const std::vector<std::pair<std::string, std::uint16_t>>& LocaleCatalogTable();

class EmbeddedMessageCatalog : public MessageCatalog {
public:
    explicit EmbeddedMessageCatalog(std::string domain);

    std::string GetPath() const override;
    std::string GetDomain() const override;
    // The embedded catalog registered under exactly this file name (case-sensitive), copied; empty when the
    // name is not registered or no catalog has its id. The encoding is ignored.
    std::vector<char> Load(const std::string& fileName, const std::string& encoding) const override;

    // Registers the catalog file name of a locale name ("/<name>/LC_MESSAGES/<domain>.mo") with a resource
    // id; a name registered before keeps its first id.
    void AddCatalog(const std::string& localeName, std::uint16_t resourceId);
    // Registers every row of LocaleCatalogTable(), in order.
    void AddAllCatalogs();

private:
    std::string domain_;
    std::map<std::string, std::uint16_t> catalogs_;  // file name -> resource id
};

}  // namespace halcyne::Updater

#include "app/EmbeddedMessageCatalog.hpp"

#include "app/EmbeddedCatalogs.hpp"

namespace halcyne::Updater {

std::span<const unsigned char> EmbeddedCatalogBytes(std::uint16_t id) {
    for (std::size_t i = 0; i < EmbeddedCatalogCount; ++i) {
        if (EmbeddedCatalogTable[i].id == id) {
            return {EmbeddedCatalogTable[i].bytes, *EmbeddedCatalogTable[i].size};
        }
    }
    return {};
}

const std::vector<std::pair<std::string, std::uint16_t>>& LocaleCatalogTable() {
    // American Spanish shares the Latin American catalog while plain "es" gets the one from Spain; plain "zh"
    // gets simplified Chinese. English has no catalog: it is the language of the message ids.
    static const std::vector<std::pair<std::string, std::uint16_t>> table = {
        {"cs", 111},    {"de", 112},    {"el", 113},    {"es", 115},    {"es_AR", 114}, {"es_BO", 114},
        {"es_CL", 114}, {"es_CO", 114}, {"es_CR", 114}, {"es_DO", 114}, {"es_EC", 114}, {"es_SV", 114},
        {"es_GT", 114}, {"es_HN", 114}, {"es_MX", 114}, {"es_NI", 114}, {"es_PA", 114}, {"es_PY", 114},
        {"es_PE", 114}, {"es_PR", 114}, {"es_UY", 114}, {"es_VE", 114}, {"es_ES", 115}, {"fr", 116},
        {"it", 117},    {"ja", 118},    {"ko", 119},    {"nl", 120},    {"pl", 121},    {"pt", 122},
        {"ro", 123},    {"ru", 124},    {"th", 125},    {"tr", 126},    {"zh", 127},    {"zh_CN", 127},
        {"zh_SG", 127}, {"zh_TW", 128}, {"zh_HK", 128}, {"zh_MO", 128},
    };
    return table;
}

EmbeddedMessageCatalog::EmbeddedMessageCatalog(std::string domain) : domain_(std::move(domain)) {}

std::string EmbeddedMessageCatalog::GetPath() const {
    return std::string();
}

std::string EmbeddedMessageCatalog::GetDomain() const {
    return domain_;
}

std::vector<char> EmbeddedMessageCatalog::Load(const std::string& fileName,
                                               const std::string& /*encoding*/) const {
    const auto found = catalogs_.find(fileName);
    if (found == catalogs_.end()) {
        return {};
    }
    const std::span<const unsigned char> bytes = EmbeddedCatalogBytes(found->second);
    return std::vector<char>(bytes.begin(), bytes.end());
}

void EmbeddedMessageCatalog::AddCatalog(const std::string& localeName, std::uint16_t resourceId) {
    catalogs_.emplace(GetPath() + "/" + localeName + "/LC_MESSAGES/" + domain_ + ".mo", resourceId);
}

void EmbeddedMessageCatalog::AddAllCatalogs() {
    for (const auto& [name, id] : LocaleCatalogTable()) {
        AddCatalog(name, id);
    }
}

}  // namespace halcyne::Updater

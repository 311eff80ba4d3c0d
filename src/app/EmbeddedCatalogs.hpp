// The gettext catalogs compiled into the executable, by resource id. Constant data: any thread may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halcyne::Updater {

struct EmbeddedCatalogEntry {
    std::uint16_t id;
    const unsigned char* bytes;
    const std::size_t* size;
};

// Defined by the source that the build generates from resources/po.
extern const EmbeddedCatalogEntry EmbeddedCatalogTable[];
extern const std::size_t EmbeddedCatalogCount;

// The bytes of the catalog with this resource id; empty when there is none.
std::span<const unsigned char> EmbeddedCatalogBytes(std::uint16_t id);

}  // namespace halcyne::Updater

// A published site as its studio looks at it: what it holds (packages, their versions, which is current, what
// is signed and until when), and whether it holds what its manifests say (every file of every version against
// its chunks' CRC-32 and SHA-256 and its own SHA-256, every signature against the keys given, every stamp).
// Reads the site only; used by halcyne-publish from its main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halcyne::publish {

// A signed document that expires within this many days is worth a warning.
inline constexpr std::int64_t ExpiryWarningDays = 7;

// The site's packages (each with its name and partner, its versions in version order, each signed or not,
// the current one with its sequence and expiry when signed) and its node lists (their nodes, signed or not,
// sequence and expiry), one line each, as text. `now`: seconds since 1970-01-01T00:00:00Z, for the days
// left before each expiry.
std::string ListSite(const std::string& siteFolder, std::int64_t now);

struct SiteCheckReport {
    std::vector<std::string> problems{};  // each names its culprit (the file, the document)
    std::vector<std::string> warnings{};  // an expiry within ExpiryWarningDays, signatures not checked
    std::size_t versions = 0;             // version manifests checked
    std::size_t files = 0;                // package files checked
    std::uint64_t bytes = 0;              // their bytes, read
    std::size_t documents = 0;            // current manifests and node lists checked
};

// Checks the whole site: every version manifest loads as the engine loads it and names its package and
// version; every file it lists is in the site with its size, each chunk's CRC-32 and SHA-256 and the file's
// SHA-256 as given; every current manifest is one of its package's versions (with a stamp when signed); every
// node list loads; every signature verifies under one of `publicKeys` (base64 Ed25519 keys; with none given,
// a signed site's signatures are not checked, and a warning says so); in a signed site every document has
// one; every stamp names its document's owner and has not expired (one that expires within
// ExpiryWarningDays is a warning).
SiteCheckReport CheckSite(const std::string& siteFolder, const std::vector<std::string>& publicKeys,
                          std::int64_t now);

}  // namespace halcyne::publish

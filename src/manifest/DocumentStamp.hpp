// What a signed moving document (a package's current manifest, a node list) says about itself inside its
// signed bytes, so that an old copy cannot be served again in its place: whose document it is, its place in
// the order of publications, and until when it may be used. The loaders keep the elements as written; only a
// signed deployment reads them (ManifestReplayGuard), so an unsigned one ignores them, malformed or not.
#pragma once

#include <optional>
#include <string>

namespace halcyne {

struct DocumentStamp {
    // The package id of a package manifest, the partner id of a node list; nullopt when not written.
    std::optional<std::string> owner;
    // A decimal number that every new publication of the document raises.
    std::optional<std::string> sequence;
    // "YYYY-MM-DDThh:mm:ssZ" (ParseUtcTime): the document is not used after that time.
    std::optional<std::string> expires;
};

}  // namespace halcyne

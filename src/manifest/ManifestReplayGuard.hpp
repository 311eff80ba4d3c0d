// Keeps a signed deployment from being handed an old signed document again: a package's current manifest
// or a node list whose stamp (DocumentStamp) is missing, names another package or partner, has expired, or
// is older than one already accepted is refused. The highest sequence accepted per manifest host and
// package, and per manifest host and partner's node list, is kept in a small JSON file under the temporary
// directory, so that it holds across runs.
//
// One guard serves the whole engine. The manifest factories call Admit and Accept from the manifest works'
// threads at once; a mutex serialises the floors and the file. The guard calls nothing back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "manifest/DocumentStamp.hpp"

namespace halcyne {

enum class StampedDocument { PackageManifest, NodeList };

class ManifestReplayGuard {
public:
    // Seconds since 1970-01-01T00:00:00Z.
    using Clock = std::function<std::int64_t()>;
    // How far the updater's clock may run ahead of the publisher's before a document counts as expired.
    static constexpr std::int64_t AllowedClockSkew = 3600;
    // A floor file above this size is not read (it is taken as empty, and rewritten at the next acceptance).
    static constexpr std::uint64_t MaxFileBytes = 256 * 1024;

    // `file`: the floor file, relative to the temporary directory ('/' separators); its folder must pass
    // CreatePrivateFolder (missing folders are made). `clock`: none for the system's clock.
    explicit ManifestReplayGuard(std::string file, Clock clock = {});
    ManifestReplayGuard(const ManifestReplayGuard&) = delete;
    ManifestReplayGuard& operator=(const ManifestReplayGuard&) = delete;

    // A document that passed Admit, to be handed to Accept once nothing else refuses it.
    struct Admission {
        StampedDocument kind = StampedDocument::PackageManifest;
        std::string host;
        std::string owner;
        std::uint64_t sequence = 0;
    };

    // Checks the stamp of a signed document of `owner` (the package or partner id asked for) fetched from
    // the manifest service `host` at `url`: owner, sequence and expiry must be written, the owner must be
    // `owner`, the expiry (plus AllowedClockSkew) must not have passed, and the sequence must not be below
    // the highest one accepted for this host and owner. An equal sequence passes (the same document fetched
    // again). Throws ManifestTrustException naming the URL and the reason; stores nothing.
    Admission Admit(StampedDocument kind, const std::string& host, const std::string& owner,
                    const DocumentStamp& stamp, const std::string& url);

    // Raises the floor of the admitted document to its sequence (a floor is never lowered) and rewrites the
    // file atomically (a new file beside it, mode 0600, synced, renamed over it). When the file cannot be
    // written the floor still holds for this guard. Throws only std::bad_alloc.
    void Accept(const Admission& admission);

    // The highest sequence accepted for a document, by this guard or in the file; nullopt when none.
    std::optional<std::uint64_t> Floor(StampedDocument kind, const std::string& host,
                                       const std::string& owner);

private:
    using Key = std::tuple<StampedDocument, std::string, std::string>;

    // The file's absolute path, after making sure of its folder; empty when there is no usable one.
    std::string FilePathLocked() const;
    // Raises floors_ to the values of the file; a missing, oversized or damaged file adds nothing.
    void MergeFileLocked(const std::string& path);
    // False when the file could not be written.
    bool WriteFileLocked(const std::string& path) const;

    const std::string file_;
    const Clock clock_;
    std::mutex mutex_;                     // guards floors_, and the reading and writing of the file
    std::map<Key, std::uint64_t> floors_;  // the highest sequence accepted per document
};

}  // namespace halcyne

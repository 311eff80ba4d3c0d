// Publishing a package as a delivery site: the folder layout that the manifest service and the content
// nodes serve as it stands (nginx, or the local delivery service):
//   packages/<partner>/<package>/<version>/<path>   the files
//   manifests/<package>/<version>.xml               the package manifest, one CRC-32 per chunk and, unless
//                                                   turned off, one SHA-256 per chunk and the SHA-256 of
//                                                   every file
//   manifests/<package>/current.xml                 the same, written last
//   nodes/<partner>.xml                             the node list
//   signed-site                                     written before the first signed document: from then
//                                                   on nothing unsigned is published into the site
// With a signing key, every manifest and node list gets its detached signature beside it (<document>.sig):
// the document's signature and, on a second line, the one of the document it replaces. A signed current.xml
// and a signed node list also carry a stamp inside the signed bytes (the node list its partner id; both a
// sequence that each publication raises, and an expiry), so that an updater refuses an old copy served
// again in their place; a version's own manifest carries none (an updater asks for it by name).
// Used by halcyne-publish and by the tests' site writer, from one thread at a time per site; PublishFolder
// runs a second thread of its own while it copies (the checks of the copies), joined before it returns, and
// calls the progress callback on the calling thread. Every file is written beside its place (as
// .<name>.publishing-XXXXXX) and renamed into it, so a reader never sees a partial file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halcyne::publish {

class SigningKey;

// A refusal or a failure; the text names the culprit (the file, the id, the argument).
class PublishError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t DefaultChunkSize = 1024 * 1024;
// The file at the site's root that marks it signed.
inline constexpr std::string_view SignedSiteMarker = "signed-site";

struct PackageInfo {
    std::string partnerId{};
    std::string packageId{};
    std::string versionId{};
    std::string name{};
    std::string run{};  // path of the file to run, relative to the package; "" for none
    std::uint32_t chunkSize = DefaultChunkSize;
    bool hashFiles = true;   // write every file's SHA-256 into the manifest
    bool hashChunks = true;  // write a SHA-256 per chunk beside its CRC-32
    // Globs (fnmatch, '*' and '?' within one path segment) against the path inside the package: the files
    // they match are marked executable, besides the source files that have an execute bit.
    std::vector<std::string> executableGlobs{};
    // Globs of what the source folder holds that is left out of the package (see ExcludedBy).
    std::vector<std::string> excludeGlobs{};
};

// How far a publication of a folder is: the package's files and bytes, and how many of them are done
// (copied into the site, and hashed when digests are written).
struct PublishProgress {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::size_t filesDone = 0;
    std::uint64_t bytesDone = 0;
};
// Called on the publishing thread: once the files are listed, as the bytes go (about every MiB) and once
// every file is done.
using ProgressCallback = std::function<void(const PublishProgress&)>;

struct PublishedFile {
    std::string path{};         // relative, '/'-separated
    std::uint64_t size = 0;     // bytes
    std::string checksums{};    // 8 lower-case hexadecimal digits per chunk
    std::string chunkSha256{};  // 64 lower-case hexadecimal digits per chunk; "" writes none
    std::string sha256{};       // 64 lower-case hexadecimal digits; "" writes none
    bool executable = false;    // marked executable in the manifest
};

struct NodeInfo {
    std::string nodeId{};
    std::string host{};  // host[:port]
    std::string path = "/packages/";
    std::uint32_t weight = 1;
};

// The stamp of a signed current manifest or node list.
struct Stamp {
    std::uint64_t sequence = 0;
    std::int64_t expires = 0;  // seconds since 1970-01-01T00:00:00Z
};

inline constexpr unsigned DefaultExpiryDays = 30;

// XML text with &, <, > and " escaped.
std::string EscapeXml(const std::string& text);

// The package manifest for files in the given order (the publisher sorts them by path); with a stamp, its
// "sequence" and "expires" stand before "files".
std::string PackageManifestXml(const PackageInfo& package, const std::vector<PublishedFile>& files,
                               const Stamp* stamp = nullptr);
// The node list; with a stamp, "PartnerId" (the given partner), "Sequence" and "Expires" stand before the
// nodes.
std::string NodeListXml(const std::vector<NodeInfo>& nodes, const std::string& partnerId = {},
                        const Stamp* stamp = nullptr);
// The same document (a package manifest, or with `nodeList` a node list, as the publisher writes them) with
// the stamp's elements replaced by `stamp`'s, or added where the publisher writes them; every other byte
// stays. PublishError when the document is not laid out as the publisher writes it, or the engine does not
// read the new stamp back from the result.
std::string Restamp(const std::string& xml, bool nodeList, const std::string& partnerId, const Stamp& stamp);

// One 8-digit checksum per chunk of the file at `path`.
std::string ChunkChecksums(const std::string& path, std::uint32_t chunkSize);

// The SHA-256 of the file open as `fd` (read from its start), as 64 lower-case hexadecimal digits; `name`
// names it in errors.
std::string FileSha256(int fd, const std::string& name);
// The same for the file at `path`.
std::string FileSha256(const std::string& path);

// A file's digests, each as lower-case hexadecimal digits.
struct FileDigests {
    std::string sha256{};       // the whole file's; "" when not asked for
    std::string chunkSha256{};  // 64 digits per chunk, concatenated in chunk order; "" when not asked for
};
// The digests of the file open as `fd` (read from its start) in one pass: the whole file's when `wholeFile`,
// each chunk's when `chunkSize` is not 0. `name` names the file in errors.
FileDigests DigestFile(int fd, const std::string& name, bool wholeFile, std::uint32_t chunkSize);
// The same for the file at `path`.
FileDigests DigestFile(const std::string& path, bool wholeFile, std::uint32_t chunkSize);

// Writes `bytes` to a new file beside `path` and renames it over `path`, creating missing folders.
void WriteFileAtomically(const std::string& path, const std::string& bytes);

// Refuses ids that the site or the chunk URL cannot carry: empty, "." or "..", holding '/' or a control
// character, not UTF-8, or changed by the chunk URL. `what` names the id in the message ("partner id").
void CheckId(const std::string& what, const std::string& id);
// Refuses a file path (relative, '/'-separated) that the manifest or the chunk URL cannot carry, and one with
// a segment that ends with the suffix of the engine's staged files.
void CheckFilePath(const PackageInfo& package, const std::string& path);
// Whether a file name (one path segment) is named like the publisher's temporary files.
bool IsTemporaryFileName(std::string_view name);
// Refuses a node that the node list cannot carry or whose host the engine refuses (the engine's own host
// rule), naming the node and the host.
void CheckNode(const NodeInfo& node);
// Whether one of the package's executable globs matches the path.
bool MatchesExecutableGlob(const PackageInfo& package, const std::string& path);

// Whether an exclusion glob leaves out the path inside the package (of a file or a folder; '*' and '?' do not
// cross '/'): a glob without '/' is matched against the last segment of the path (a name anywhere in the
// package), one with '/' against the whole path from the package's root. Trailing slashes of the glob are
// ignored. A folder left out takes everything under it along.
bool ExcludedBy(const std::string& glob, const std::string& path);

// What a source folder holds for a package.
struct PackageListing {
    std::vector<std::string> paths{};      // the regular files, relative and sorted by their bytes
    std::uint64_t bytes = 0;               // their sizes, summed
    std::vector<std::string> excluded{};   // the files and folders left out, relative, in listing order
    std::vector<std::string> unmatched{};  // the exclusion globs that left nothing out
};
// The files under `folder` but what the globs leave out. Refuses a missing folder, one without a file, and
// anything that is not a regular file or a folder (links included) unless it is left out. Empty files are
// files like any other.
PackageListing ListPackageFiles(const std::string& folder, const std::vector<std::string>& excludeGlobs = {});

// What tells a published version apart from the one that would be published now: the first field or file
// that differs ("file data/x: 12 bytes, published with 10"), in document order; "the manifest differs" when
// nothing more precise is found. `published` is the version's manifest in the site.
std::string DescribeDifference(const std::string& published, const PackageInfo& package,
                               const std::vector<PublishedFile>& files);

class SitePublisher {
public:
    // Creates the site folder when missing.
    explicit SitePublisher(std::string siteFolder);
    ~SitePublisher();
    SitePublisher(const SitePublisher&) = delete;
    SitePublisher& operator=(const SitePublisher&) = delete;

    const std::string& Folder() const { return folder_; }

    // Signs every manifest and node list written from now on with `key` (none: nothing is signed).
    void SignWith(std::shared_ptr<const SigningKey> key) { signingKey_ = std::move(key); }
    // Seconds since 1970-01-01T00:00:00Z, for the stamps; the system's clock unless set.
    using Clock = std::function<std::int64_t()>;
    void SetClock(Clock clock);
    // How long a signed current manifest or node list written from now on may be used (at least 1 day).
    void ExpireAfterDays(unsigned days);
    // Reports the progress of every publication of a folder from now on (none: nothing is reported).
    void ReportProgressTo(ProgressCallback callback) { progress_ = std::move(callback); }
    // What the publications so far found worth a word without refusing it (an exclusion glob that left out
    // nothing), each once; the list is emptied.
    std::vector<std::string> TakeWarnings();

    // Takes an exclusive lock on the site folder for the publisher's lifetime, so that a second publishing
    // process refuses instead of racing this one (and RemoveStaleTemporaryFiles cannot remove its files).
    // PublishError when another holds it.
    void LockAgainstOtherPublishers();
    // Removes the temporary files that a killed publication left anywhere in the site; returns how many.
    // Call it holding the lock.
    std::size_t RemoveStaleTemporaryFiles() const;

    // Copies every file of `sourceFolder` (empty ones too, but what the exclusion globs leave out) into the
    // site, by the kernel where it can, with the checksums computed from the copies on a second thread right
    // behind the copy, then writes <version>.xml and, when `makeCurrent`, current.xml last. A source file
    // with an execute bit (for anyone), or one that an executable glob matches, is marked executable in the
    // manifest; the copies in the site are plain files (0644) either way. An exclusion glob that leaves out
    // nothing is a warning (TakeWarnings). Refuses, before anything of the site changes: a bad id, an
    // empty or bad name, version "current", a run file that is not one of the files, an executable glob that
    // matches no file, a chunk size of 0, a manifest whose marks the engine does not read back, a version
    // already published with other content (naming what differs, DescribeDifference; republishing the same
    // content is fine, also when only hashes or marks are new), and, without a signing key, a signed site
    // (marked signed, or with a signature beside any manifest or node list: an unsigned manifest there would
    // be refused by every updater of the deployment). Returns the manifest text.
    std::string PublishFolder(const std::string& sourceFolder, const PackageInfo& package,
                              bool makeCurrent = true);

    // Writes the manifest of a package whose files the caller already placed in the site (checksums are
    // read from there; only the executable globs mark files). For callers that craft sites on purpose, tests
    // among them: nothing is refused but a chunk size of 0, and empty files are listed with no checksum.
    // Returns the manifest text.
    std::string PublishInPlace(const std::vector<std::string>& paths, const PackageInfo& package,
                               bool makeCurrent = true);

    // Writes (or rewrites) nodes/<partner>.xml. Refuses a node CheckNode refuses and, without a signing key,
    // a signed site, before anything is written. Returns the text.
    std::string PublishNodeList(const std::string& partnerId, const std::vector<NodeInfo>& nodes);

    // Whether the site knows the partner: it has a node list or a published package of the partner.
    bool KnowsPartner(const std::string& partnerId) const;

    // Makes a published version the package's current one (a rollback, or a roll forward) without copying a
    // file: current.xml becomes the version's manifest, stamped with a higher sequence when the site is
    // signed, so that updaters take it over the one in place. Refuses, before anything is written: a bad id,
    // version "current", a version that is not published, whose manifest the engine does not read or names
    // another package or version, whose files are not in the site with the sizes the manifest gives; without
    // a signing key a signed site, and with one a version manifest that the key's signature beside it does
    // not verify (the tool signs nothing it did not write). Returns the version that was current ("" when
    // none was, or the current manifest was unreadable).
    std::string SetCurrent(const std::string& packageId, const std::string& versionId);

    // Gives every current manifest (manifests/<package>/current.xml) and node list (nodes/<partner>.xml) of
    // the site a new stamp (a higher sequence, an expiry counted from now) and signs it again, with nothing
    // else of its bytes changed; a document published before stamps existed gets one. Refuses, before
    // anything is written: no signing key, a site that is not signed, a current manifest that names another
    // package than its folder, and a document that is not laid out as the publisher writes it. Returns the
    // documents rewritten (paths relative to the site), in the order written.
    std::vector<std::string> Resign();

    // Where a package file lives in the site.
    std::string PackageFilePath(const PackageInfo& package, const std::string& path) const;
    std::string ManifestPath(const std::string& packageId, const std::string& versionId) const;
    std::string NodeListPath(const std::string& partnerId) const;

    std::string SignedMarkerPath() const;

    // Writes a manifest or node list at `path`. With a signing key: marks the site signed when it is not
    // yet, then renames into place the signature file, holding the new document's signature and the one of
    // the document it replaces, and the document after it. So a document is never served without its
    // signature, and whichever of the two documents an updater or a cache serves verifies, also when the
    // publication is killed between the renames.
    void PlaceDocument(const std::string& path, const std::string& text) const;

    // Without a signing key: refuses a signed site (PublishError saying why it counts as signed).
    void CheckUnsignedAllowed() const;

private:
    void CheckPackage(const PackageInfo& package, const std::vector<std::string>& paths) const;
    // Why the site counts as signed ("<marker> marks it", "<a .sig> exists"); empty when it does not.
    std::string SignedSiteEvidence() const;
    // The stamp of a new publication of the signed document at `path`: a sequence above the one the
    // document in place carries, and at least the clock's seconds; the expiry counted from now.
    Stamp NextStamp(const std::string& path, bool nodeList) const;
    // The stamp for a new publication of the signed document at `path`, whose text `render` writes with a
    // given stamp: the stamp of the document in place when that is exactly what `render` writes with it
    // and it does not expire within a day (republishing the same content then changes nothing, and the
    // signature file keeps the line of the document that one replaced), else NextStamp.
    Stamp StampFor(const std::string& path, bool nodeList,
                   const std::function<std::string(const Stamp&)>& render) const;
    // The signature line (with its line feed) to keep beside the new signature of `text` at `path`: the
    // one of the document in place; "" when there is none.
    std::string KeptSignature(const std::string& path, const std::string& text,
                              const std::string& newSignature) const;
    // Refuses a manifest that the engine does not load, or from which it reads other marks than `files` set.
    static void CheckMarksReadBack(const std::string& xml, const std::vector<PublishedFile>& files);
    std::string WriteManifests(const PackageInfo& package, const std::vector<PublishedFile>& files,
                               bool makeCurrent) const;

    std::string folder_;
    std::shared_ptr<const SigningKey> signingKey_;
    Clock clock_;
    unsigned expiryDays_ = DefaultExpiryDays;
    ProgressCallback progress_;
    std::vector<std::string> warnings_;
    int lockFd_ = -1;  // the site folder, locked; -1 when not locked
};

}  // namespace halcyne::publish

#include "SiteCheck.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineFormats.hpp"
#include "NodeListChanges.hpp"
#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "common/FileDescriptor.hpp"
#include "common/Sha256.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ManifestVerifier.hpp"

namespace halcyne::publish {

namespace fs = boost::filesystem;

namespace {

// The whole file, or nullopt when there is none (or it cannot be read).
std::optional<std::string> ReadText(const std::string& path) {
    FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Version ids in the order people count them: runs of digits compare as numbers ("2" before "10").
bool VersionBefore(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) {
                ++ei;
            }
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) {
                ++ej;
            }
            std::string_view x = std::string_view(a).substr(i, ei - i);
            std::string_view y = std::string_view(b).substr(j, ej - j);
            while (x.size() > 1 && x.front() == '0') {
                x.remove_prefix(1);
            }
            while (y.size() > 1 && y.front() == '0') {
                y.remove_prefix(1);
            }
            if (x.size() != y.size()) {
                return x.size() < y.size();
            }
            if (x != y) {
                return x < y;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

// The entries of a folder of the site: its subfolders, or its documents ending with `suffix`, sorted;
// the publisher's temporary files are passed over.
std::vector<std::string> Entries(const std::string& folder, bool folders, const std::string& suffix = {}) {
    std::vector<std::string> names;
    boost::system::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const fs::file_status status = it->symlink_status(error);
        if (IsTemporaryFileName(name)) {
            continue;
        }
        if (folders ? fs::is_directory(status)
                    : fs::is_regular_file(status) && name.size() > suffix.size() && name.ends_with(suffix)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ExpiryText(std::int64_t expires, std::int64_t now) {
    const std::string when = "expires " + FormatUtcTime(expires);
    if (expires <= now) {
        return when + " (expired)";
    }
    const std::int64_t days = (expires - now) / 86400;
    if (days == 0) {
        return when + " (less than a day left)";
    }
    return when + " (in " + std::to_string(days) + (days == 1 ? " day)" : " days)");
}

// The stamp of a current manifest or node list, as text for the listing.
std::string StampText(const std::string& xml, bool nodeList, std::int64_t now) {
    try {
        const DocumentStamp stamp = ReadDocumentStamp(xml, nodeList);
        if (!stamp.sequence && !stamp.expires) {
            return "no stamp";
        }
        const auto expires = ParseUtcTime(stamp.expires.value_or(""));
        return "sequence " + stamp.sequence.value_or("none") + ", " +
               (expires ? ExpiryText(*expires, now) : "no readable expiry");
    } catch (const std::exception&) {
        return "unreadable";
    }
}

struct Site {
    explicit Site(std::string folder) : folder(std::move(folder)) {}

    std::string Path(const std::string& relative) const { return folder + "/" + relative; }
    bool Exists(const std::string& relative) const {
        boost::system::error_code error;
        return fs::exists(fs::symlink_status(Path(relative), error));
    }
    std::vector<std::string> Packages() const { return Entries(Path("manifests"), true); }
    // The package's versions, in version order.
    std::vector<std::string> Versions(const std::string& package) const {
        std::vector<std::string> versions;
        for (const std::string& name : Entries(Path("manifests/" + package), false, ".xml")) {
            if (name != "current.xml") {
                versions.push_back(name.substr(0, name.size() - 4));
            }
        }
        std::sort(versions.begin(), versions.end(), VersionBefore);
        return versions;
    }
    std::vector<std::string> Partners() const {
        std::vector<std::string> partners;
        for (const std::string& name : Entries(Path("nodes"), false, ".xml")) {
            partners.push_back(name.substr(0, name.size() - 4));
        }
        return partners;
    }
    // Marked signed, or holding a signature beside a manifest or node list.
    bool Signed() const {
        if (Exists(std::string(SignedSiteMarker))) {
            return true;
        }
        for (const std::string& folder : {Path("nodes"), Path("manifests")}) {
            boost::system::error_code error;
            for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->path().extension() == ".sig") {
                    return true;
                }
            }
        }
        return false;
    }

    std::string folder;
};

// The first way in which the file at `path` is not what its manifest entry says; "" when it is. `bytes`
// grows by what was read.
std::string CheckFileContent(const std::string& path, const FileManifest& file, std::uint64_t& bytes) {
    FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (in.Get() < 0 || ::fstat(in.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return in.Get() < 0 && errno == ENOENT ? "missing" : "not a regular file that can be read";
    }
    if (static_cast<std::uint64_t>(status.st_size) != file.GetSize()) {
        return std::to_string(status.st_size) + " bytes, the manifest says " + std::to_string(file.GetSize());
    }
    ::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::uint64_t chunkSize = file.GetChunkSize();
    const std::vector<std::uint32_t>& checksums = file.GetChecksums();
    const std::vector<Sha256::Digest>& chunkDigests = file.GetChunkSha256();
    constexpr std::size_t BufferSize = 1024 * 1024;
    std::unique_ptr<char[]> buffer(new char[BufferSize]);
    Sha256 whole;
    Sha256 chunkHash;
    std::uint32_t crc = 0;
    std::uint64_t inChunk = 0;
    std::size_t chunk = 0;
    const auto endChunk = [&]() -> std::string {
        const std::string where =
            "chunk " + std::to_string(chunk) + " (from byte " + std::to_string(chunk * chunkSize) + ")";
        if (chunk >= checksums.size() || crc != checksums[chunk]) {
            return where + ": its CRC-32 differs from the manifest's";
        }
        if (!chunkDigests.empty() &&
            (chunk >= chunkDigests.size() || chunkHash.Final() != chunkDigests[chunk])) {
            return where + ": its SHA-256 differs from the manifest's";
        }
        crc = 0;
        inChunk = 0;
        ++chunk;
        return {};
    };
    for (;;) {
        const ssize_t got = ::read(in.Get(), buffer.get(), BufferSize);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::string("cannot be read: ") + std::strerror(errno);
        }
        if (got == 0) {
            break;
        }
        bytes += static_cast<std::uint64_t>(got);
        const char* data = buffer.get();
        std::size_t size = static_cast<std::size_t>(got);
        if (!file.GetSha256().empty()) {
            whole.Update(data, size);
        }
        while (size > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, chunkSize - inChunk));
            crc = ChunkCrc32(data, take, crc);
            if (!chunkDigests.empty()) {
                chunkHash.Update(data, take);
            }
            inChunk += take;
            data += take;
            size -= take;
            if (inChunk == chunkSize) {
                if (std::string problem = endChunk(); !problem.empty()) {
                    return problem;
                }
            }
        }
    }
    if (inChunk > 0) {
        if (std::string problem = endChunk(); !problem.empty()) {
            return problem;
        }
    }
    if (!file.GetSha256().empty() && Sha256::ToHex(whole.Final()) != file.GetSha256()) {
        return "its SHA-256 differs from the manifest's";
    }
    return {};
}

class Checker {
public:
    Checker(const std::string& folder, const std::vector<std::string>& publicKeys, std::int64_t now)
        : site_(folder), now_(now), signed_(site_.Signed()) {
        std::string list;
        for (const std::string& key : publicKeys) {
            list += (list.empty() ? "" : ",") + key;
        }
        keys_ = publicKeys.empty() ? nullptr : std::make_unique<ManifestVerifier>(list);
    }

    SiteCheckReport Run() {
        if (signed_ && !keys_) {
            report_.warnings.push_back(
                "the site is signed, but its signatures were not checked: give the key (--key or "
                "--public-key)");
        }
        for (const std::string& package : site_.Packages()) {
            CheckPackage(package);
        }
        for (const std::string& partner : site_.Partners()) {
            CheckNodeList(partner);
        }
        return std::move(report_);
    }

private:
    void Problem(const std::string& text) { report_.problems.push_back(text); }

    // The signature beside a document: required in a signed site and whenever keys are given, and checked
    // against the keys when they are.
    void CheckSignature(const std::string& relative, const std::string& text) {
        const std::optional<std::string> signature = ReadText(site_.Path(SignaturePath(relative)));
        if (!signature) {
            if (signed_ || keys_) {
                Problem(relative + ": no signature beside it (" + SignaturePath(relative) + ")");
            }
            return;
        }
        if (!keys_) {
            return;
        }
        switch (keys_->Check(text, *signature)) {
            case SignatureCheck::Valid:
                return;
            case SignatureCheck::Malformed:
                Problem(SignaturePath(relative) + ": malformed");
                return;
            case SignatureCheck::Mismatch:
                Problem(relative + ": its signature does not verify under the keys given");
                return;
        }
    }

    // The stamp of a signed current manifest or node list: its owner, a sequence and an expiry that has not
    // come yet. Returns it when it can be read.
    std::optional<Stamp> CheckStamp(const std::string& relative, const std::string& text, bool nodeList,
                                    const std::string& owner) {
        DocumentStamp read;
        try {
            read = ReadDocumentStamp(text, nodeList);
        } catch (const std::exception&) {
            return std::nullopt;  // the caller reported the document
        }
        if (!read.sequence && !read.expires && !signed_) {
            return std::nullopt;  // an unsigned site's documents need none
        }
        const auto sequence =
            ParseDecimal(read.sequence.value_or(""), std::numeric_limits<std::uint64_t>::max());
        const auto expires = ParseUtcTime(read.expires.value_or(""));
        if (!sequence || !expires || (nodeList && read.owner != owner)) {
            Problem(relative + ": no complete stamp (" + std::string(nodeList ? "PartnerId, " : "") +
                    "sequence and expiry): signed updaters refuse it; give it one with --resign");
            return std::nullopt;
        }
        if (*expires <= now_) {
            Problem(relative + ": expired at " + FormatUtcTime(*expires) +
                    ": signed updaters refuse it; publish again or --resign");
        } else if (*expires - now_ <= ExpiryWarningDays * 86400) {
            report_.warnings.push_back(relative + ": " + ExpiryText(*expires, now_) +
                                       ": publish again or --resign before then");
        }
        return Stamp{*sequence, *expires};
    }

    void CheckPackage(const std::string& package) {
        const std::string folder = "manifests/" + package + "/";
        for (const std::string& version : site_.Versions(package)) {
            ++report_.versions;
            const std::string relative = folder + version + ".xml";
            const std::string text = ReadText(site_.Path(relative)).value_or("");
            CheckSignature(relative, text);
            std::shared_ptr<const PackageManifest> manifest;
            try {
                manifest = LoadPackageManifest(text);
            } catch (const std::exception& error) {
                Problem(relative + ": the engine refuses it: " + error.what());
                continue;
            }
            if (manifest->GetId() != package || manifest->GetVersionId() != version) {
                Problem(relative + ": names version " + manifest->GetVersionId() + " of package " +
                        manifest->GetId());
                continue;
            }
            const std::string files =
                "packages/" + manifest->GetPartnerId() + "/" + package + "/" + version + "/";
            for (const auto& file : manifest->GetFiles()) {
                ++report_.files;
                const std::string problem =
                    CheckFileContent(site_.Path(files + file->GetPath()), *file, report_.bytes);
                if (!problem.empty()) {
                    Problem(files + file->GetPath() + " (" + relative + "): " + problem);
                }
            }
        }
        const std::string relative = folder + "current.xml";
        const std::optional<std::string> text = ReadText(site_.Path(relative));
        if (!text) {
            return;
        }
        ++report_.documents;
        CheckSignature(relative, *text);
        std::shared_ptr<const PackageManifest> current;
        try {
            current = LoadPackageManifest(*text);
        } catch (const std::exception& error) {
            Problem(relative + ": the engine refuses it: " + error.what());
            return;
        }
        if (current->GetId() != package) {
            Problem(relative + ": names package " + current->GetId());
            return;
        }
        const std::optional<Stamp> stamp = CheckStamp(relative, *text, false, package);
        const std::string version = folder + current->GetVersionId() + ".xml";
        const std::optional<std::string> versionText = ReadText(site_.Path(version));
        if (!versionText) {
            Problem(relative + ": names version " + current->GetVersionId() + ", which has no manifest (" +
                    version + ")");
            return;
        }
        std::string expected = *versionText;
        try {
            if (stamp) {
                expected = Restamp(*versionText, false, package, *stamp);
            }
        } catch (const std::exception&) {
            // Compared as it stands.
        }
        if (expected != *text) {
            Problem(relative + ": is not the manifest of version " + current->GetVersionId() + " (" +
                    version + ") that it names");
        }
    }

    void CheckNodeList(const std::string& partner) {
        ++report_.documents;
        const std::string relative = "nodes/" + partner + ".xml";
        const std::string text = ReadText(site_.Path(relative)).value_or("");
        CheckSignature(relative, text);
        try {
            for (const NodeInfo& node : ReadNodeListXml(text)) {
                CheckNode(node);
            }
        } catch (const std::exception& error) {
            Problem(relative + ": " + error.what());
            return;
        }
        CheckStamp(relative, text, true, partner);
    }

    Site site_;
    const std::int64_t now_;
    const bool signed_;
    std::unique_ptr<ManifestVerifier> keys_;
    SiteCheckReport report_;
};

}  // namespace

std::string ListSite(const std::string& siteFolder, std::int64_t now) {
    const Site site(siteFolder);
    std::string text;
    for (const std::string& package : site.Packages()) {
        const std::string folder = "manifests/" + package + "/";
        const std::vector<std::string> versions = site.Versions(package);
        const std::optional<std::string> current = ReadText(site.Path(folder + "current.xml"));
        // The package is named by its current manifest, else by its last version's.
        std::shared_ptr<const PackageManifest> manifest;
        std::string currentVersion;
        try {
            if (current) {
                manifest = LoadPackageManifest(*current);
                currentVersion = manifest->GetVersionId();
            }
        } catch (const std::exception&) {
            // Named from the last version, or not at all.
        }
        if (!manifest && !versions.empty()) {
            try {
                manifest =
                    LoadPackageManifest(ReadText(site.Path(folder + versions.back() + ".xml")).value_or(""));
            } catch (const std::exception&) {
                // Not named.
            }
        }
        text += "package " + package;
        if (manifest) {
            text += " \"" + manifest->GetName() + "\", partner " + manifest->GetPartnerId();
        }
        text += "\n";
        for (const std::string& version : versions) {
            text += "  version " + version + ": " +
                    (site.Exists(folder + version + ".xml.sig") ? "signed" : "unsigned");
            if (version == currentVersion) {
                text += ", current";
                if (site.Exists(folder + "current.xml.sig")) {
                    text += " (" + StampText(*current, false, now) + ")";
                }
            }
            text += "\n";
        }
        if (current && currentVersion.empty()) {
            text += "  current: unreadable\n";
        } else if (current && std::find(versions.begin(), versions.end(), currentVersion) == versions.end()) {
            text += "  current: version " + currentVersion + ", whose manifest is missing\n";
        } else if (!current) {
            text += "  no current version\n";
        }
    }
    for (const std::string& partner : site.Partners()) {
        const std::string relative = "nodes/" + partner + ".xml";
        const std::string xml = ReadText(site.Path(relative)).value_or("");
        const bool isSigned = site.Exists(relative + ".sig");
        text += "node list of partner " + partner + ": " + (isSigned ? "signed" : "unsigned");
        if (isSigned) {
            text += " (" + StampText(xml, true, now) + ")";
        }
        text += "\n";
        NodeListState state;
        state.exists = true;
        try {
            state.nodes = ReadNodeListXml(xml);
        } catch (const std::exception& error) {
            state.unreadable = error.what();
        }
        text += FormatNodes(state);
    }
    if (text.empty()) {
        text = "nothing is published in " + siteFolder + "\n";
    }
    return text;
}

SiteCheckReport CheckSite(const std::string& siteFolder, const std::vector<std::string>& publicKeys,
                          std::int64_t now) {
    return Checker(siteFolder, publicKeys, now).Run();
}

}  // namespace halcyne::publish

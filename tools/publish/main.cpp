// halcyne-publish: writes a package and a node list as a delivery site that nginx (or the local delivery
// service) serves as it stands. See Usage.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <unistd.h>

#include "CommandLine.hpp"
#include "NodeListChanges.hpp"
#include "SigningKey.hpp"
#include "SiteCheck.hpp"
#include "SitePublisher.hpp"

namespace {

using namespace halcyne::publish;
using namespace halcyne::tools;

const char* const Program = "halcyne-publish";

const char* const Usage =
    "usage: halcyne-publish --site SITE [--key KEY] --partner P [package options] [node list options]\n"
    "       halcyne-publish --site SITE [--key KEY] --package K --set-current V\n"
    "       halcyne-publish --site SITE --list\n"
    "       halcyne-publish --site SITE --check [--key KEY | --public-key FILE]...\n"
    "       halcyne-publish --site SITE --key KEY --resign\n"
    "       halcyne-publish --generate-key KEY\n"
    "       halcyne-publish --help | --version\n"
    "Publishes a folder as a package of a delivery site, writes the partner's node list, and lists, checks\n"
    "and rolls back what a site holds.\n"
    "\n"
    "Package options:\n"
    "  --site SITE         the site folder (created when missing)\n"
    "  --from FOLDER       the package's files: every regular file under FOLDER (empty ones too)\n"
    "  --exclude GLOB      leave out of the package what GLOB matches (repeatable): a GLOB without '/'\n"
    "                      matches a file or folder name anywhere ('*.pdb', '.git'), one with '/' the\n"
    "                      path from FOLDER ('logs/*'); a folder left out takes all under it along\n"
    "  --partner ID        partner id; the site must know it (a node list or a package of it)\n"
    "  --new-partner       allow a partner the site does not know yet (its first publication)\n"
    "  --package ID        package id\n"
    "  --version ID        version id (not \"current\"); --version alone prints this tool's version\n"
    "  --name NAME         the package's display name (required with --from)\n"
    "  --run PATH          the file to run, relative to FOLDER (optional)\n"
    "  --exec GLOB         mark the files whose path inside the package matches GLOB as executable\n"
    "                      (repeatable; '*' and '?' do not cross '/'). Files with an execute bit in\n"
    "                      FOLDER are marked anyway; once any file is marked, the updater makes only the\n"
    "                      marked files and the run file executable\n"
    "  --chunk-size BYTES  chunk size, at least 65536 (default 1048576)\n"
    "  --not-current       do not make this version the current one\n"
    "  --no-hash           leave out every SHA-256: the files' and the chunks' (written by default; the\n"
    "                      updater checks each file against its SHA-256 before it may run anything, and\n"
    "                      each chunk against its SHA-256 as it arrives, so that a node that forges a\n"
    "                      chunk is caught with it and asked for nothing more)\n"
    "  --no-chunk-hash     leave out only the chunks' SHA-256\n"
    "  --quiet             no progress line (shown on standard error when it is a terminal)\n"
    "\n"
    "Node list options (each prints the partner's node list before and after):\n"
    "  --node [ID=][https://]HOST:PORT[/PATH]\n"
    "                      a content node of the partner (repeatable): together the whole node list.\n"
    "                      PATH defaults to /packages/, ID to node1, node2, ... A node written with\n"
    "                      https:// is reached over TLS. A partner's first list only; a list in place\n"
    "                      is replaced only with --replace-nodes\n"
    "  --replace-nodes     let --node replace the partner's node list in place\n"
    "  --add-node [ID=][https://]HOST:PORT[/PATH]\n"
    "                      add a node to the list in place (repeatable; ID defaults to the first free\n"
    "                      nodeN)\n"
    "  --remove-node ID|HOST\n"
    "                      remove the node with that id, or at that host as the list writes it\n"
    "                      (repeatable); the last node is never removed\n"
    "\n"
    "The site:\n"
    "  --list              the packages, their versions (which is current, which are signed) and the\n"
    "                      node lists, with each signed document's sequence and expiry\n"
    "  --set-current V     with --package K: make the published version V current (a rollback or a\n"
    "                      roll forward) without copying anything; a signed current manifest gets a new\n"
    "                      sequence, so that updaters take it\n"
    "  --check             check every file of every version against its manifest's chunk CRC-32s and\n"
    "                      SHA-256s, every current manifest and node list, and every signature against\n"
    "                      the keys given (--key, --public-key); warns of a signed document that expires\n"
    "                      within 7 days. Exit status 1 when anything is wrong, each culprit named\n"
    "  --public-key FILE   with --check: a public key (as --generate-key writes KEY.pub, or PEM) that\n"
    "                      signatures may verify under (repeatable)\n"
    "\n"
    "Signing:\n"
    "  --key KEY           sign every manifest and node list written with the Ed25519 private key in\n"
    "                      KEY (PEM); each signature goes beside its document as DOCUMENT.sig. A signed\n"
    "                      current.xml and node list carry a sequence that every publication raises and\n"
    "                      an expiry: updaters refuse an older or expired one\n"
    "  --expires DAYS      a signed current.xml or node list written now expires after DAYS days\n"
    "                      (default 30); publish or --resign again before then\n"
    "  --resign            with --key and nothing else to publish: give every current.xml and node list\n"
    "                      of the site a new sequence and expiry and sign it again, content unchanged\n"
    "  --generate-key KEY  create a new signing key: KEY (private, mode 0600, never overwritten) and\n"
    "                      KEY.pub (the public key for the updater's string id 133); prints the public\n"
    "                      key. With publishing options, the new key also signs what is published.\n"
    "  -h, --help          this text\n"
    "\n"
    "An option's value follows it as the next argument or after '=' (--site=SITE). Exit status: 0 done,\n"
    "1 the publication failed or was refused (or --check found a problem), 2 a wrong command line\n"
    "(nothing done).\n"
    "\n"
    "Writes packages/PARTNER/PACKAGE/VERSION/..., manifests/PACKAGE/VERSION.xml, then\n"
    "manifests/PACKAGE/current.xml, and nodes/PARTNER.xml. Every file is written beside its place and "
    "renamed\n"
    "into it; files left behind by a killed run are removed by the next. A version that is already\n"
    "published is only accepted again with the same content; otherwise the first file or field that\n"
    "differs is named.\n"
    "A signed document's signature file (the new signature and the replaced document's) is placed before\n"
    "the document. The first signed publication writes SITE/signed-site; from then on publishing without\n"
    "--key is refused.\n";

// Days from 1 to 3650.
unsigned ParseExpiryDays(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value == 0 || value > 3650) {
        throw UsageError("bad --expires: " + text + " (a number of days from 1 to 3650)");
    }
    return static_cast<unsigned>(value);
}

int Fail(const std::string& message) {
    std::cerr << Program << ": " << message << "\n";
    return ExitFailure;
}

// Smaller chunks cost the updater a request and a checksum each: a package of a few GiB would need
// millions.
constexpr unsigned long long MinChunkSize = 64 * 1024;

std::uint32_t ParseChunkSize(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value == 0 || value > 0xFFFFFFFFull) {
        throw UsageError("bad --chunk-size: " + text);
    }
    if (value < MinChunkSize) {
        throw UsageError("bad --chunk-size: " + text + " (at least " + std::to_string(MinChunkSize) +
                         " bytes)");
    }
    return static_cast<std::uint32_t>(value);
}

// "1.5 GiB": bytes for people.
std::string Bytes(std::uint64_t bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// The progress of a publication as one line on standard error (a terminal), redrawn at most ten times a
// second and once more, with a line feed, when every file is done.
class ProgressLine {
public:
    explicit ProgressLine(std::string what) : what_(std::move(what)) {}

    void operator()(const PublishProgress& progress) {
        const auto now = std::chrono::steady_clock::now();
        const bool done = progress.filesDone == progress.files;
        if (!done && now - drawn_ < std::chrono::milliseconds(100)) {
            return;
        }
        drawn_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::string line = what_ + ": " + std::to_string(progress.filesDone) + " of " +
                           std::to_string(progress.files) + " files, " + Bytes(progress.bytesDone) + " of " +
                           Bytes(progress.bytes);
        if (seconds > 0.05) {
            line += ", " +
                    Bytes(static_cast<std::uint64_t>(static_cast<double>(progress.bytesDone) / seconds)) +
                    "/s";
        }
        std::cerr << "\r\033[K" << line << (done ? "\n" : "") << std::flush;
    }

private:
    const std::string what_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_{};
};

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Warn(const std::string& message) {
    std::cerr << Program << ": warning: " << message << "\n";
}

// The node of a node option's argument; a usage error naming the option when it is not one.
NodeInfo NodeArgument(const std::string& option, const std::string& text, const std::string& defaultId) {
    try {
        return ParseNodeArgument(text, defaultId);
    } catch (const std::invalid_argument&) {
        throw UsageError("bad " + option + " argument: " + text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string site;
    std::string from;
    PackageInfo package;
    bool makeCurrent = true;
    NodeChanges nodeChanges;
    std::string keyPath;
    std::string newKeyPath;
    std::vector<std::string> publicKeyFiles;
    std::string setCurrent;
    unsigned expiryDays = 0;  // 0: not given
    bool resign = false;
    bool list = false;
    bool check = false;
    bool newPartner = false;
    bool quiet = false;
    try {
        ArgumentReader arguments(argc, argv);
        while (!arguments.Done()) {
            const std::string argument = arguments.Next();
            if (argument == "--help" || argument == "-h") {
                arguments.Flag();
                std::cout << Usage;
                return 0;
            } else if (argument == "--version" && argc == 2) {
                // Alone, it asks for the tool's version; with publishing options it is the package's.
                PrintVersion(Program);
                return 0;
            } else if (argument == "--not-current") {
                arguments.Flag();
                makeCurrent = false;
            } else if (argument == "--no-hash") {
                arguments.Flag();
                package.hashFiles = false;
                package.hashChunks = false;
            } else if (argument == "--no-chunk-hash") {
                arguments.Flag();
                package.hashChunks = false;
            } else if (argument == "--resign") {
                arguments.Flag();
                resign = true;
            } else if (argument == "--list") {
                arguments.Flag();
                list = true;
            } else if (argument == "--check") {
                arguments.Flag();
                check = true;
            } else if (argument == "--new-partner") {
                arguments.Flag();
                newPartner = true;
            } else if (argument == "--replace-nodes") {
                arguments.Flag();
                nodeChanges.replace = true;
            } else if (argument == "--quiet") {
                arguments.Flag();
                quiet = true;
            } else if (argument == "--site") {
                site = arguments.Value();
            } else if (argument == "--from") {
                from = arguments.Value();
            } else if (argument == "--partner") {
                package.partnerId = arguments.Value();
            } else if (argument == "--package") {
                package.packageId = arguments.Value();
            } else if (argument == "--version") {
                package.versionId = arguments.Value();
            } else if (argument == "--name") {
                package.name = arguments.Value();
            } else if (argument == "--run") {
                package.run = arguments.Value();
            } else if (argument == "--exec") {
                package.executableGlobs.push_back(arguments.Value());
            } else if (argument == "--exclude") {
                package.excludeGlobs.push_back(arguments.Value());
            } else if (argument == "--chunk-size") {
                package.chunkSize = ParseChunkSize(arguments.Value());
            } else if (argument == "--node") {
                const std::string id = "node" + std::to_string(nodeChanges.replacement.size() + 1);
                nodeChanges.replacement.push_back(NodeArgument(argument, arguments.Value(), id));
            } else if (argument == "--add-node") {
                nodeChanges.added.push_back(NodeArgument(argument, arguments.Value(), ""));
            } else if (argument == "--remove-node") {
                nodeChanges.removed.push_back(arguments.Value());
            } else if (argument == "--set-current") {
                setCurrent = arguments.Value();
            } else if (argument == "--key") {
                keyPath = arguments.Value();
            } else if (argument == "--public-key") {
                publicKeyFiles.push_back(arguments.Value());
            } else if (argument == "--generate-key") {
                newKeyPath = arguments.Value();
            } else if (argument == "--expires") {
                expiryDays = ParseExpiryDays(arguments.Value());
            } else if (arguments.IsOption()) {
                throw UsageError("unknown option '" + argument + "'");
            } else {
                throw UsageError("unexpected argument '" + argument + "'");
            }
        }
        // The whole command line is checked before anything is written, a new key included.
        if (!keyPath.empty() && !newKeyPath.empty()) {
            throw UsageError("give either --key or --generate-key");
        }
        const bool signing = !keyPath.empty() || !newKeyPath.empty();
        const bool publishing = !from.empty() || !nodeChanges.Empty();
        const bool keyOnly = !newKeyPath.empty() && site.empty() && !publishing;
        if (!keyOnly) {
            if (site.empty()) {
                throw UsageError("--site is required");
            }
            const int modes = (publishing ? 1 : 0) + (resign ? 1 : 0) + (list ? 1 : 0) + (check ? 1 : 0) +
                              (setCurrent.empty() ? 0 : 1);
            if (modes > 1) {
                if (resign) {
                    throw UsageError(
                        "--resign refreshes the site as it stands: publish with --from or --node "
                        "in a run of its own");
                }
                throw UsageError(
                    "publishing (--from, node list options), --set-current, --list, --check and --resign "
                    "each run on their own");
            }
            if (expiryDays != 0 && !signing) {
                throw UsageError("--expires applies to signed documents: give --key");
            }
            if (!publicKeyFiles.empty() && !check) {
                throw UsageError("--public-key goes with --check (to sign, give --key)");
            }
            if (nodeChanges.replace && nodeChanges.replacement.empty()) {
                throw UsageError("--replace-nodes goes with --node");
            }
            if (!nodeChanges.replacement.empty() &&
                (!nodeChanges.added.empty() || !nodeChanges.removed.empty())) {
                throw UsageError(
                    "--node gives the whole node list: it does not go with --add-node or --remove-node");
            }
            if (!package.excludeGlobs.empty() && from.empty()) {
                throw UsageError("--exclude goes with --from");
            }
            if (resign) {
                if (!signing) {
                    throw UsageError("--resign needs the signing key (--key)");
                }
            } else if (list || check) {
                if (!newKeyPath.empty()) {
                    throw UsageError("--generate-key does not go with --list or --check");
                }
                if (list && !keyPath.empty()) {
                    throw UsageError("--list reads the site as it stands: it takes no --key");
                }
            } else if (!setCurrent.empty()) {
                if (package.packageId.empty()) {
                    throw UsageError("--set-current needs the package (--package)");
                }
            } else {
                if (!publishing) {
                    throw UsageError(
                        "nothing to publish: give --from, --node, --add-node or --remove-node (or --list, "
                        "--check, --set-current)");
                }
                if (package.partnerId.empty()) {
                    throw UsageError("--partner is required");
                }
                if (!from.empty() && (package.packageId.empty() || package.versionId.empty())) {
                    throw UsageError("--package and --version are required with --from");
                }
            }
        }

        if (list || check) {
            boost::system::error_code error;
            if (!boost::filesystem::is_directory(site, error)) {
                return Fail("no site at " + site);
            }
            if (list) {
                std::cout << ListSite(site, Now());
                return 0;
            }
            std::vector<std::string> keys;
            if (!keyPath.empty()) {
                keys.push_back(SigningKey::Load(keyPath).PublicKeyBase64());
            }
            for (const std::string& file : publicKeyFiles) {
                keys.push_back(ReadPublicKeyFile(file));
            }
            const SiteCheckReport report = CheckSite(site, keys, Now());
            for (const std::string& warning : report.warnings) {
                std::cout << "warning: " << warning << "\n";
            }
            for (const std::string& problem : report.problems) {
                std::cout << "problem: " << problem << "\n";
            }
            std::cout << "checked " << report.versions << " version manifests with " << report.files
                      << " files (" << Bytes(report.bytes) << ") and " << report.documents
                      << " current manifests and node lists: "
                      << (report.problems.empty() ? "no problem"
                          : report.problems.size() == 1
                              ? "1 problem"
                              : std::to_string(report.problems.size()) + " problems")
                      << "\n";
            return report.problems.empty() ? 0 : ExitFailure;
        }

        for (const NodeInfo& node : nodeChanges.replacement) {
            CheckNode(node);
        }
        for (NodeInfo node : nodeChanges.added) {
            node.nodeId = node.nodeId.empty() ? "new" : node.nodeId;
            CheckNode(node);
        }

        std::shared_ptr<const SigningKey> key;
        if (!newKeyPath.empty()) {
            key = std::make_shared<SigningKey>(SigningKey::Generate(newKeyPath));
            std::cout << key->PublicKeyBase64() << "\n";
            if (keyOnly) {
                return 0;
            }
        } else if (!keyPath.empty()) {
            key = std::make_shared<SigningKey>(SigningKey::Load(keyPath));
        }
        SitePublisher publisher(site);
        publisher.LockAgainstOtherPublishers();
        publisher.RemoveStaleTemporaryFiles();
        publisher.SignWith(key);
        if (expiryDays != 0) {
            publisher.ExpireAfterDays(expiryDays);
        }
        if (resign) {
            for (const std::string& document : publisher.Resign()) {
                std::cout << "signed again: " << document << "\n";
            }
            return 0;
        }
        if (!setCurrent.empty()) {
            const std::string previous = publisher.SetCurrent(package.packageId, setCurrent);
            std::cout << "current version of package " << package.packageId << ": "
                      << (previous.empty() ? "none" : previous) << " -> " << setCurrent << "\n";
            return 0;
        }

        // A partner id the site has never seen is most likely misspelt: refused before anything is written,
        // unless it is meant to be new.
        CheckId("partner id", package.partnerId);
        publisher.CheckUnsignedAllowed();
        if (!newPartner && !publisher.KnowsPartner(package.partnerId)) {
            return Fail("partner " + package.partnerId + " is not in the site " + site +
                        " (no node list, no package of it): check the id; a new partner's first publication "
                        "needs --new-partner");
        }
        const std::string nodeListPath = publisher.NodeListPath(package.partnerId);
        const NodeListState before = ReadNodeListState(nodeListPath);
        std::vector<NodeInfo> nodes;
        if (!nodeChanges.Empty()) {
            nodes = ApplyNodeChanges(package.partnerId, before, nodeChanges);
        }
        if (!from.empty()) {
            if (!quiet && ::isatty(STDERR_FILENO)) {
                publisher.ReportProgressTo(
                    ProgressLine("publishing " + package.packageId + " version " + package.versionId));
            }
            publisher.PublishFolder(from, package, makeCurrent);
        }
        if (!nodeChanges.Empty()) {
            publisher.PublishNodeList(package.partnerId, nodes);
            const std::string relative = "nodes/" + package.partnerId + ".xml";
            std::cout << "node list of partner " << package.partnerId << " (" << relative << ") before:\n"
                      << FormatNodes(before) << "after:\n"
                      << FormatNodes(ReadNodeListState(nodeListPath));
        }
        for (const std::string& warning : publisher.TakeWarnings()) {
            Warn(warning);
        }
        if (!ReadNodeListState(nodeListPath).exists) {
            Warn("partner " + package.partnerId +
                 " has no node list yet: its players can download nothing until one is written (--node)");
        }
    } catch (const UsageError& error) {
        return ReportUsageError(Program, error.what());
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
    return 0;
}

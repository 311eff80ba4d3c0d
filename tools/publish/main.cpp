// halcyne-publish: writes a package and a node list as a delivery site that nginx (or the local delivery
// service) serves as it stands. See Usage.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.hpp"
#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "common/AsciiText.hpp"

namespace {

using namespace halcyne::publish;
using namespace halcyne::tools;

const char* const Program = "halcyne-publish";

const char* const Usage =
    "usage: halcyne-publish --site SITE [--key KEY] [package options] [--node NODE]...\n"
    "       halcyne-publish --generate-key KEY\n"
    "       halcyne-publish --help | --version\n"
    "Publishes a folder as a package of a delivery site, and writes the partner's node list.\n"
    "\n"
    "  --site SITE         the site folder (created when missing)\n"
    "  --from FOLDER       the package's files: every regular file under FOLDER\n"
    "  --partner ID        partner id\n"
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
    "  --node [ID=][https://]HOST:PORT[/PATH]\n"
    "                      a content node of the partner (repeatable); PATH defaults to /packages/, ID to\n"
    "                      node1, node2, ... With --node and no --from, only the node list is rewritten.\n"
    "                      A node written with https:// is reached over TLS.\n"
    "  --key KEY           sign every manifest and node list written with the Ed25519 private key in\n"
    "                      KEY (PEM); each signature goes beside its document as DOCUMENT.sig. A signed\n"
    "                      current.xml and node list carry a sequence that every publication raises and\n"
    "                      an expiry: updaters refuse an older or expired one\n"
    "  --expires DAYS      a signed current.xml or node list written now expires after DAYS days\n"
    "                      (default 30); publish or --resign again before then\n"
    "  --resign            with --key and no --from or --node: give every current.xml and node list of\n"
    "                      the site a new sequence and expiry and sign it again, content unchanged\n"
    "  --generate-key KEY  create a new signing key: KEY (private, mode 0600, never overwritten) and\n"
    "                      KEY.pub (the public key for the updater's string id 133); prints the public\n"
    "                      key. With publishing options, the new key also signs what is published.\n"
    "  -h, --help          this text\n"
    "\n"
    "An option's value follows it as the next argument or after '=' (--site=SITE). Exit status: 0 done,\n"
    "1 the publication failed or was refused, 2 a wrong command line (nothing done).\n"
    "\n"
    "Writes packages/PARTNER/PACKAGE/VERSION/..., manifests/PACKAGE/VERSION.xml, then\n"
    "manifests/PACKAGE/current.xml, and nodes/PARTNER.xml. Every file is written beside its place and "
    "renamed\n"
    "into it; files left behind by a killed run are removed by the next. A version that is already\n"
    "published is only accepted again with the same content.\n"
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

NodeInfo ParseNode(const std::string& text, std::size_t index) {
    NodeInfo node;
    std::string rest = text;
    const std::size_t equals = rest.find('=');
    if (equals != std::string::npos) {
        node.nodeId = rest.substr(0, equals);
        rest = rest.substr(equals + 1);
    } else {
        node.nodeId = "node" + std::to_string(index + 1);
    }
    // The path starts at the first '/' after the scheme, when the host is written with one.
    std::size_t hostStart = 0;
    for (const std::string scheme : {"https://", "http://"}) {
        if (rest.size() >= scheme.size() && halcyne::AsciiLower(rest.substr(0, scheme.size())) == scheme) {
            hostStart = scheme.size();
            break;
        }
    }
    const std::size_t slash = rest.find('/', hostStart);
    if (slash != std::string::npos) {
        node.path = rest.substr(slash);
        rest = rest.substr(0, slash);
    }
    node.host = rest;
    if (node.nodeId.empty() || node.host.empty()) {
        throw UsageError("bad --node argument: " + text);
    }
    return node;
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

}  // namespace

int main(int argc, char** argv) {
    std::string site;
    std::string from;
    PackageInfo package;
    bool makeCurrent = true;
    std::vector<std::string> nodeArguments;
    std::string keyPath;
    std::string newKeyPath;
    unsigned expiryDays = 0;  // 0: not given
    bool resign = false;
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
            } else if (argument == "--chunk-size") {
                package.chunkSize = ParseChunkSize(arguments.Value());
            } else if (argument == "--node") {
                nodeArguments.push_back(arguments.Value());
            } else if (argument == "--key") {
                keyPath = arguments.Value();
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
        const bool keyOnly = !newKeyPath.empty() && site.empty() && from.empty() && nodeArguments.empty();
        if (!keyOnly) {
            if (site.empty()) {
                throw UsageError("--site is required");
            }
            if (expiryDays != 0 && !signing) {
                throw UsageError("--expires applies to signed documents: give --key");
            }
            if (resign) {
                if (!from.empty() || !nodeArguments.empty()) {
                    throw UsageError(
                        "--resign refreshes the site as it stands: publish with --from or --node "
                        "in a run of its own");
                }
                if (!signing) {
                    throw UsageError("--resign needs the signing key (--key)");
                }
            } else {
                if (from.empty() && nodeArguments.empty()) {
                    throw UsageError("nothing to publish: give --from or --node");
                }
                if (package.partnerId.empty()) {
                    throw UsageError("--partner is required");
                }
                if (!from.empty() && (package.packageId.empty() || package.versionId.empty())) {
                    throw UsageError("--package and --version are required with --from");
                }
            }
        }
        std::vector<NodeInfo> nodes;
        for (std::size_t i = 0; i < nodeArguments.size(); ++i) {
            nodes.push_back(ParseNode(nodeArguments[i], i));
            CheckNode(nodes.back());
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
        if (!from.empty()) {
            publisher.PublishFolder(from, package, makeCurrent);
        }
        if (!nodes.empty()) {
            publisher.PublishNodeList(package.partnerId, nodes);
        }
    } catch (const UsageError& error) {
        return ReportUsageError(Program, error.what());
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
    return 0;
}

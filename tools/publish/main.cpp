// halcyne-publish: writes a package and a node list as a delivery site that nginx (or the local delivery
// service) serves as it stands. See Usage.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <Poco/String.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"

namespace {

using namespace halcyne::publish;

const char* const Usage =
    "usage: halcyne-publish --site SITE [--key KEY] [package options] [--node NODE]...\n"
    "       halcyne-publish --generate-key KEY\n"
    "Publishes a folder as a package of a delivery site, and writes the partner's node list.\n"
    "\n"
    "  --site SITE         the site folder (created when missing)\n"
    "  --from FOLDER       the package's files: every regular file under FOLDER\n"
    "  --partner ID        partner id\n"
    "  --package ID        package id\n"
    "  --version ID        version id (not \"current\")\n"
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
    "  --help              this text\n"
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
        throw PublishError("bad --expires: " + text + " (a number of days from 1 to 3650)");
    }
    return static_cast<unsigned>(value);
}

int Fail(const std::string& message) {
    std::cerr << "halcyne-publish: " << message << "\n";
    return 1;
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
        if (rest.size() >= scheme.size() && Poco::icompare(rest.substr(0, scheme.size()), scheme) == 0) {
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
        throw PublishError("bad --node argument: " + text);
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
        throw PublishError("bad --chunk-size: " + text);
    }
    if (value < MinChunkSize) {
        throw PublishError("bad --chunk-size: " + text + " (at least " + std::to_string(MinChunkSize) +
                           " bytes)");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
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
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            const std::string& argument = arguments[i];
            if (argument == "--help") {
                std::cout << Usage;
                return 0;
            }
            if (argument == "--not-current") {
                makeCurrent = false;
                continue;
            }
            if (argument == "--no-hash") {
                package.hashFiles = false;
                package.hashChunks = false;
                continue;
            }
            if (argument == "--no-chunk-hash") {
                package.hashChunks = false;
                continue;
            }
            if (argument == "--resign") {
                resign = true;
                continue;
            }
            if (i + 1 >= arguments.size()) {
                return Fail("unknown or incomplete argument: " + argument + "\n" + Usage);
            }
            const std::string& value = arguments[++i];
            if (argument == "--site") {
                site = value;
            } else if (argument == "--from") {
                from = value;
            } else if (argument == "--partner") {
                package.partnerId = value;
            } else if (argument == "--package") {
                package.packageId = value;
            } else if (argument == "--version") {
                package.versionId = value;
            } else if (argument == "--name") {
                package.name = value;
            } else if (argument == "--run") {
                package.run = value;
            } else if (argument == "--exec") {
                package.executableGlobs.push_back(value);
            } else if (argument == "--chunk-size") {
                package.chunkSize = ParseChunkSize(value);
            } else if (argument == "--node") {
                nodeArguments.push_back(value);
            } else if (argument == "--key") {
                keyPath = value;
            } else if (argument == "--generate-key") {
                newKeyPath = value;
            } else if (argument == "--expires") {
                expiryDays = ParseExpiryDays(value);
            } else {
                return Fail("unknown argument: " + argument + "\n" + Usage);
            }
        }
        if (!keyPath.empty() && !newKeyPath.empty()) {
            return Fail("give either --key or --generate-key");
        }
        std::shared_ptr<const SigningKey> key;
        if (!newKeyPath.empty()) {
            key = std::make_shared<SigningKey>(SigningKey::Generate(newKeyPath));
            std::cout << key->PublicKeyBase64() << "\n";
            if (site.empty() && from.empty() && nodeArguments.empty()) {
                return 0;
            }
        } else if (!keyPath.empty()) {
            key = std::make_shared<SigningKey>(SigningKey::Load(keyPath));
        }
        if (site.empty()) {
            return Fail("--site is required\n" + std::string(Usage));
        }
        if (expiryDays != 0 && !key) {
            return Fail("--expires applies to signed documents: give --key");
        }
        if (resign) {
            if (!from.empty() || !nodeArguments.empty()) {
                return Fail(
                    "--resign refreshes the site as it stands: publish with --from or --node "
                    "in a run of its own");
            }
            if (!key) {
                return Fail("--resign needs the signing key (--key)");
            }
            SitePublisher publisher(site);
            publisher.LockAgainstOtherPublishers();
            publisher.RemoveStaleTemporaryFiles();
            publisher.SignWith(key);
            if (expiryDays != 0) {
                publisher.ExpireAfterDays(expiryDays);
            }
            for (const std::string& document : publisher.Resign()) {
                std::cout << "signed again: " << document << "\n";
            }
            return 0;
        }
        if (from.empty() && nodeArguments.empty()) {
            return Fail("nothing to publish: give --from or --node");
        }
        if (package.partnerId.empty()) {
            return Fail("--partner is required");
        }
        std::vector<NodeInfo> nodes;
        for (std::size_t i = 0; i < nodeArguments.size(); ++i) {
            nodes.push_back(ParseNode(nodeArguments[i], i));
            CheckNode(nodes.back());
        }
        SitePublisher publisher(site);
        publisher.LockAgainstOtherPublishers();
        publisher.RemoveStaleTemporaryFiles();
        publisher.SignWith(key);
        if (expiryDays != 0) {
            publisher.ExpireAfterDays(expiryDays);
        }
        if (!from.empty()) {
            if (package.packageId.empty() || package.versionId.empty()) {
                return Fail("--package and --version are required with --from");
            }
            publisher.PublishFolder(from, package, makeCurrent);
        }
        if (!nodes.empty()) {
            publisher.PublishNodeList(package.partnerId, nodes);
        }
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
    return 0;
}

// Memory taken while the engine refuses an oversized manifest service document: the local delivery service
// serves a package manifest, a node list or a signature file of the given size (padded with spaces), with
// or without a Content-Length, and the engine's factories (default limits) fetch it. Prints the resident
// size before the fetch, the peak resident size of the process and the outcome.
//   manifest_refusal_rss <package|nodes|signature> <sized|unsized> <MiB> [signed]
// Target: peak - idle at most 4 times the document's limit.
#include <fstream>
#include <iostream>
#include <string>

#include "SigningKey.hpp"
#include "common/EngineSettings.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpProxy.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace {

using namespace halcyne;

// Writes `text` then spaces up to `size` bytes, without holding the whole document in memory.
void WritePadded(const std::string& path, const std::string& text, std::uint64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    const std::string block(1 << 20, ' ');
    for (std::uint64_t left = size > text.size() ? size - text.size() : 0; left > 0;) {
        const auto piece = std::min<std::uint64_t>(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(piece));
        left -= piece;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: manifest_refusal_rss <package|nodes|signature> <sized|unsized> <MiB> [signed]\n";
        return 2;
    }
    const std::string kind = argv[1];
    const bool unsized = std::string(argv[2]) == "unsized";
    const std::uint64_t size = std::stoull(argv[3]) << 20;
    const bool signedSite = argc > 4 && std::string(argv[4]) == "signed";

    test::ScratchFolder scratch;
    test::SiteWriter site(scratch / "site");
    test::SitePackage package;
    package.files = {{"a.txt", "alpha"}};
    site.PublishPackage(package, false);
    const std::string manifest = site.PackageManifestXml(package);
    const publish::SigningKey key = publish::SigningKey::New();
    test::LocalDeliveryService service({.site = site.Folder(), .content = {}, .nodes = 1});
    const std::string nodes = test::SiteWriter::NodeListXml(service.Nodes());
    const std::string folder = site.Folder();
    for (const char* relative :
         {"manifests/K/current.xml", "manifests/K/current.xml.sig", "nodes/P.xml", "nodes/P.xml.sig"}) {
        site.WriteText(relative, "");  // makes the folders
    }
    WritePadded(folder + "/manifests/K/current.xml", manifest, kind == "package" ? size : 0);
    WritePadded(folder + "/nodes/P.xml", nodes, kind == "nodes" ? size : 0);
    // A signature is only checked over a document that arrived whole; the large ones are refused before.
    WritePadded(folder + "/manifests/K/current.xml.sig", key.Sign(manifest), kind == "signature" ? size : 0);
    WritePadded(folder + "/nodes/P.xml.sig", key.Sign(nodes), 0);
    if (unsized) {
        service.AddFault({.server = "manifest", .unsized = true});
    }

    const EngineSettings settings;
    EmptyHttpProxyFactory proxies;
    CurlHttpRequestFactory requests(&proxies);
    const ManifestVerifier verifier(signedSite || kind == "signature" ? key.PublicKeyBase64() : "");
    XmlHttpPackageManifestFactory packages(service.ManifestHost(), &requests, 10, 300, &verifier, nullptr,
                                           settings.maxPackageManifestBytes, settings.maxSignatureBytes);
    XmlHttpNodeListManifestFactory lists(service.ManifestHost(), &requests, 10, 300, &verifier,
                                         settings.maxNodeListBytes, settings.maxSignatureBytes,
                                         static_cast<std::size_t>(settings.maxNodeListNodes));

    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from the current size
    const long idle = test::ProcessStatusKiB("VmRSS");
    std::string outcome;
    try {
        if (kind == "nodes") {
            outcome = "loaded " + std::to_string(lists.Create("P", nullptr)->GetNodes().size()) + " nodes";
        } else {
            outcome = "loaded " + packages.Create("K", nullptr)->GetId();
        }
    } catch (const std::exception& refused) {
        outcome = refused.what();
    }
    const long peak = test::ProcessStatusKiB("VmHWM");
    const auto records = service.Records().RequestsTo("manifest");
    std::cout << kind << " " << (size >> 20) << " MiB, " << (unsized ? "no length" : "length announced")
              << (verifier.Configured() ? ", signed" : "") << "\n  idle RSS " << idle / 1024
              << " MiB, peak RSS " << peak / 1024 << " MiB, peak - idle " << (peak - idle) / 1024
              << " MiB\n  requests " << records.size() << "\n  " << outcome << "\n";
    return 0;
}

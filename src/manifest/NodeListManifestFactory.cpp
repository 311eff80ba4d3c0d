#include "manifest/NodeListManifestFactory.hpp"

#include "manifest/ManifestSource.hpp"
#include "manifest/PackageRef.hpp"
#include "manifest/StandardNodeListManifest.hpp"

namespace halcyne {

HttpNodeListManifestFactory::HttpNodeListManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                                         std::int32_t connectTimeout, std::int32_t timeout,
                                                         const ManifestVerifier* verifier,
                                                         std::uint64_t maxBytes,
                                                         std::uint64_t maxSignatureBytes,
                                                         std::size_t maxNodes)
    : host_(std::move(host)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      verifier_(verifier),
      maxBytes_(maxBytes),
      maxSignatureBytes_(maxSignatureBytes),
      maxNodes_(maxNodes) {}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(const std::string& id) {
    return Create(id, nullptr);
}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& id, std::shared_ptr<HttpSession> session,
    std::shared_ptr<HttpRequestCanceller> canceller) {
    // The node list is rewritten in place whenever the nodes change: it moves like a current manifest.
    const auto source = MakeManifestServiceSource(
        BuildUrl(id), requestFactory_, std::move(session), connectTimeout_, timeout_, verifier_, true,
        std::move(canceller), {"node list", maxBytes_, maxSignatureBytes_});
    auto list = std::make_shared<StandardNodeListManifest>(maxNodes_);
    source->Load(id, *list);
    return list;
}

std::string XmlHttpNodeListManifestFactory::BuildUrl(const std::string& id) {
    return ManifestServiceUrl(host_, "/nodes/" + PathSegment(id) + ".xml");
}

}  // namespace halcyne

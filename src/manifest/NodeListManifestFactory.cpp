#include "manifest/NodeListManifestFactory.hpp"

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestSource.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/PackageRef.hpp"
#include "manifest/StandardNodeListManifest.hpp"

namespace halcyne {

HttpNodeListManifestFactory::HttpNodeListManifestFactory(
    std::string host, HttpRequestFactory* requestFactory, std::int32_t connectTimeout, std::int32_t timeout,
    const ManifestVerifier* verifier, std::uint64_t maxBytes, std::uint64_t maxSignatureBytes,
    std::size_t maxNodes, ManifestReplayGuard* replayGuard)
    : host_(std::move(host)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      verifier_(verifier),
      maxBytes_(maxBytes),
      maxSignatureBytes_(maxSignatureBytes),
      maxNodes_(maxNodes),
      replayGuard_(replayGuard) {}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(const std::string& id) {
    return Create(id, nullptr);
}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& id, std::shared_ptr<HttpSession> session,
    std::shared_ptr<HttpRequestCanceller> canceller) {
    // The node list is rewritten in place whenever the nodes change: it moves like a current manifest.
    const std::string url = BuildUrl(id);
    const auto source = MakeManifestServiceSource(url, requestFactory_, std::move(session), connectTimeout_,
                                                  timeout_, verifier_, true, std::move(canceller),
                                                  {"node list", maxBytes_, maxSignatureBytes_});
    auto list = std::make_shared<StandardNodeListManifest>(maxNodes_);
    source->Load(id, *list);
    // A signed list could be an old one served again, or another partner's: it must carry a fresh stamp of
    // this partner that is not older than one accepted before.
    if (verifier_ != nullptr && verifier_->Configured() && replayGuard_ != nullptr) {
        const auto admit = [&] {
            return replayGuard_->Admit(StampedDocument::NodeList, host_, id, list->GetStamp(), url);
        };
        ManifestReplayGuard::Admission admission;
        try {
            admission = admit();
        } catch (const ManifestTrustException&) {
            // A cache may still hold a list that an earlier run saw replaced, or one that expired in it:
            // once more, past the caches' copies, before refusing.
            source->Revalidate();
            list = std::make_shared<StandardNodeListManifest>(maxNodes_);
            source->Load(id, *list);
            admission = admit();
        }
        replayGuard_->Accept(admission);
    }
    return list;
}

std::string XmlHttpNodeListManifestFactory::BuildUrl(const std::string& id) {
    return ManifestServiceUrl(host_, "/nodes/" + PathSegment(id) + ".xml");
}

}  // namespace halcyne

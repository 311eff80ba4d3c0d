#include "manifest/PackageManifestFactory.hpp"

#include <optional>

#include "file/SharedFileFactory.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestSource.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageRef.hpp"
#include "manifest/StandardPackageManifest.hpp"

namespace halcyne {

HttpPackageManifestFactory::HttpPackageManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                                       std::int32_t connectTimeout, std::int32_t timeout,
                                                       const ManifestVerifier* verifier,
                                                       SharedFileFactory* executables, std::uint64_t maxBytes,
                                                       std::uint64_t maxSignatureBytes,
                                                       ManifestReplayGuard* replayGuard)
    : host_(std::move(host)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      verifier_(verifier),
      executables_(executables),
      maxBytes_(maxBytes),
      maxSignatureBytes_(maxSignatureBytes),
      replayGuard_(replayGuard) {}

bool HttpPackageManifestFactory::Matches(std::shared_ptr<const PackageManifest> manifest,
                                         const std::string& ref) {
    if (!manifest) {
        return false;
    }
    const auto [packageId, versionId] = SplitPackageRef(ref);
    if (manifest->GetId() != packageId) {
        return false;
    }
    return versionId.empty() || manifest->GetVersionId() == versionId;
}

void HttpPackageManifestFactory::RequireFileHashes(const PackageManifest& manifest,
                                                   const std::string& url) const {
    for (const auto& file : manifest.GetFiles()) {
        if (!file->GetSha256().empty()) {
            continue;
        }
        const bool run = !manifest.GetRun().empty() && file->GetPath() == manifest.GetRun();
        const bool executable = executables_ != nullptr ? IsExecutableFile(manifest, *file, *executables_)
                                                        : run || file->IsMarkedExecutable();
        if (executable) {
            throw ManifestTrustException(
                url + " is signed, but " + (run ? "its run file " : "the executable ") + file->GetPath() +
                " carries no sha256: a signed deployment runs only files it can hash");
        }
    }
}

std::shared_ptr<PackageManifest> XmlHttpPackageManifestFactory::Create(const std::string& ref) {
    return Create(ref, nullptr);
}

std::shared_ptr<PackageManifest> XmlHttpPackageManifestFactory::Create(
    const std::string& ref, std::shared_ptr<HttpSession> session,
    std::shared_ptr<HttpRequestCanceller> canceller) {
    // A reference without a version names the current manifest, which the publisher replaces.
    const bool moving = ref.find('/') == std::string::npos;
    const std::string url = BuildUrl(ref);
    const auto source = MakeManifestServiceSource(url, requestFactory_, std::move(session), connectTimeout_,
                                                  timeout_, verifier_, moving, std::move(canceller),
                                                  {"package manifest", maxBytes_, maxSignatureBytes_});
    auto manifest = std::make_shared<StandardPackageManifest>();
    source->Load(ref, *manifest);
    const bool signedDeployment = verifier_ != nullptr && verifier_->Configured();
    // A signed current manifest could be an old one served again: its stamp must name this package, be
    // fresh and not be older than one accepted before. A version asked for by name is what the player
    // wants, old or not.
    std::optional<ManifestReplayGuard::Admission> admission;
    if (signedDeployment && moving && replayGuard_ != nullptr) {
        const auto admit = [&] {
            return replayGuard_->Admit(StampedDocument::PackageManifest, host_, SplitPackageRef(ref).first,
                                       manifest->GetStamp(), url);
        };
        try {
            admission = admit();
        } catch (const ManifestTrustException&) {
            // Caches keep the current manifest for a while, each from its own moment: one may still hand
            // out the document that an earlier run saw replaced (through another cache), or one that
            // expired in it. Once more, past the caches' copies, before refusing.
            source->Revalidate();
            manifest = std::make_shared<StandardPackageManifest>();
            source->Load(ref, *manifest);
            admission = admit();
        }
    }
    if (!Matches(manifest, ref)) {
        throw ManifestLocatorException();
    }
    if (signedDeployment) {
        RequireFileHashes(*manifest, url);
    }
    if (admission) {
        // The transfer refuses a version id that cannot be a segment of its chunk URLs; such a manifest
        // must not raise the floor either.
        if (!IsPathSegmentId(manifest->GetVersionId())) {
            throw ManifestParseException(
                "the package manifest's versionId is empty, \".\", \"..\" or holds a control character");
        }
        replayGuard_->Accept(*admission);
    }
    return manifest;
}

std::string XmlHttpPackageManifestFactory::BuildUrl(const std::string& ref) {
    std::string path = "/manifests/" + ref;
    if (ref.find('/') == std::string::npos) {
        path += "/current";
    }
    path += ".xml";
    return ManifestServiceUrl(host_, path);
}

}  // namespace halcyne

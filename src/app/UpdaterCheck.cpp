#include "app/UpdaterCheck.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/UpdaterConfiguration.hpp"
#include "common/EngineSettings.hpp"
#include "common/NoValueMarker.hpp"
#include "common/TransferParams.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpStringWriter.hpp"
#include "http/posix/EnvironmentHttpProxyFactory.hpp"
#include "manifest/DocumentStamp.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "manifest/PackageRef.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "pipeline/Crc32.hpp"

namespace halcyne::Updater {

namespace {

struct Fetched {
    HttpRequestStatus status;
    std::string body;
    long long milliseconds = 0;
    bool Answered(long expected = 200) const {
        return status.result == HttpRequestResult::Success && status.responseCode == expected;
    }
};

// Why a fetch failed, in a few words: the HTTP status when the server answered, else libcurl's text.
std::string Failure(const Fetched& fetched) {
    if (fetched.status.responseCode >= 400) {
        return "HTTP " + std::to_string(fetched.status.responseCode);
    }
    if (!fetched.status.curlErrorText.empty()) {
        return fetched.status.curlErrorText;
    }
    return fetched.status.errorMessage.empty() ? std::string("no answer") : fetched.status.errorMessage;
}

class Checker {
public:
    Checker(const EngineSettings& settings, std::ostream& out)
        : settings_(settings),
          out_(out),
          requests_(&proxies_, settings.caBundle),
          verifier_(settings.manifestKeys),
          packages_(settings.manifestHost, &requests_, settings.manifestConnectTimeout,
                    settings.manifestTimeout, &verifier_, nullptr, settings.maxPackageManifestBytes,
                    settings.maxSignatureBytes),
          lists_(settings.manifestHost, &requests_, settings.manifestConnectTimeout, settings.manifestTimeout,
                 &verifier_, settings.maxNodeListBytes, settings.maxSignatureBytes,
                 static_cast<std::size_t>(std::max(settings.maxNodeListNodes, 0))) {}

    bool AllWell() const { return allWell_; }

    // A package manifest (and its signature file), then its partner's node list (and its signature file),
    // then the first chunk of its first non-empty file from every node of that list.
    void CheckPackage(const std::string& partnerId, const std::string& packageId,
                      const std::string& version) {
        std::string ref;
        std::string url;
        try {
            ref = MakePackageRef(packageId, version == NoValueMarker ? std::string() : version);
            url = packages_.BuildUrl(ref);
        } catch (const std::exception& e) {
            Line(false, Fetched{}, "package " + packageId, e.what());
            return;
        }
        std::shared_ptr<PackageManifest> manifest;
        if (FirstTime(url)) {
            // A version asked for by name is not held to its stamp's expiry; the current one is.
            const bool moving = version == NoValueMarker;
            CheckDocument(url, [&] {
                manifest = packages_.Create(ref);
                return moving ? manifest->GetStamp() : DocumentStamp{};
            });
            manifests_[url] = manifest;
        } else {
            manifest = manifests_[url];
        }
        std::shared_ptr<NodeListManifest> list = CheckNodeList(partnerId);
        if (manifest && list) {
            CheckNodes(*manifest, *list, partnerId, packageId);
        }
    }

private:
    std::shared_ptr<NodeListManifest> CheckNodeList(const std::string& partnerId) {
        std::string url;
        try {
            url = lists_.BuildUrl(partnerId);
        } catch (const std::exception& e) {
            Line(false, Fetched{}, "node list " + partnerId, e.what());
            return nullptr;
        }
        if (!FirstTime(url)) {
            return nodeLists_[url];
        }
        std::shared_ptr<NodeListManifest> list;
        CheckDocument(url, [&] {
            list = lists_.Create(partnerId);
            return list->GetStamp();
        });
        nodeLists_[url] = list;
        return list;
    }

    // The document's own line (what the service answered, and whether the engine accepts it: `load` loads
    // it as the engine does, throws what the engine would refuse it for and returns the stamp whose expiry
    // a run holds it to), then its signature file's. In a signed deployment an expired document fails, and
    // one that expires within a week is accepted with a warning: players will be refused once it expires.
    template <class Load>
    void CheckDocument(const std::string& url, Load load) {
        const Fetched document =
            Fetch(url, HttpRangeToEnd, settings_.manifestConnectTimeout, settings_.manifestTimeout);
        std::string verdict;
        bool accepted = false;
        if (!document.Answered()) {
            verdict = Failure(document);
        } else {
            try {
                const DocumentStamp stamp = load();
                accepted = true;
                verdict = verifier_.Configured() ? "signature valid" : "accepted unsigned (no key stamped)";
                if (verifier_.Configured() && stamp.expires) {
                    accepted = Expiry(*stamp.expires, verdict);
                }
            } catch (const std::exception& e) {
                verdict = e.what();
            }
        }
        Line(accepted, document, url, verdict);
        if (verifier_.Configured()) {
            const std::string signatureUrl = url + ".sig";
            const Fetched signature = Fetch(signatureUrl, HttpRangeToEnd, settings_.manifestConnectTimeout,
                                            settings_.manifestTimeout);
            Line(signature.Answered(), signature, signatureUrl,
                 signature.Answered() ? "signature file" : Failure(signature));
        }
    }

    void CheckNodes(const PackageManifest& manifest, const NodeListManifest& list,
                    const std::string& partnerId, const std::string& packageId) {
        const FileManifest* file = nullptr;
        for (const auto& candidate : manifest.GetFiles()) {
            if (candidate->GetSize() > 0 && !candidate->GetChecksums().empty()) {
                file = candidate.get();
                break;
            }
        }
        if (file == nullptr) {
            return;  // nothing to ask a node for
        }
        TransferParams ids;
        ids.partnerId = partnerId;
        ids.packageId = packageId;
        ids.versionId = manifest.GetVersionId();
        const std::uint64_t last = std::min<std::uint64_t>(file->GetChunkSize(), file->GetSize()) - 1;
        for (const auto& node : list.GetNodes()) {
            std::string url;
            try {
                url = NodeFileUrl(*node, ids, file->GetPath());
            } catch (const std::exception& e) {
                Line(false, Fetched{}, "node " + node->GetNodeId(), e.what());
                continue;
            }
            if (!FirstTime(url)) {
                continue;
            }
            const Fetched chunk =
                Fetch(url, last, settings_.maxConnectTimeout, settings_.minRequestTimeout * 3);
            std::string verdict;
            bool good = false;
            if (!chunk.Answered(206)) {
                verdict = chunk.Answered() ? "the whole file instead of a range (HTTP 200)" : Failure(chunk);
            } else if (chunk.body.size() != last + 1) {
                verdict = "a chunk of " + std::to_string(chunk.body.size()) + " bytes instead of " +
                          std::to_string(last + 1);
            } else if (Crc32(chunk.body.data(), chunk.body.size()) != file->GetChecksums().front()) {
                verdict = "first chunk differs from the manifest (CRC-32)";
            } else {
                good = true;
                verdict = "first chunk of " + file->GetPath() + " valid";
            }
            Line(good, chunk, url, verdict);
        }
    }

    Fetched Fetch(const std::string& url, std::uint64_t lastByte, int connectTimeout, int timeout) {
        Fetched fetched;
        const auto begin = std::chrono::steady_clock::now();
        try {
            HttpStringWriter writer(
                &fetched.body, lastByte == HttpRangeToEnd ? settings_.maxPackageManifestBytes : lastByte + 1);
            HttpRequestParams params(url, &writer);
            params.connectTimeout = connectTimeout;
            params.timeout = timeout;
            if (lastByte != HttpRangeToEnd) {
                params.rangeStart = 0;
                params.rangeEnd = lastByte;
            }
            fetched.status = requests_.CreateRequest(params)->Perform();
        } catch (const std::exception& e) {
            fetched.status = HttpRequestStatus::Failed(HttpRequestResult::OtherError, 0, e.what());
        }
        fetched.milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
                .count();
        return fetched;
    }

    // Adds the expiry to `verdict`; false when the document has expired or its expiry cannot be read.
    static bool Expiry(const std::string& expires, std::string& verdict) {
        const std::optional<std::int64_t> when = ParseUtcTime(expires);
        if (!when) {
            verdict += "; unreadable expiry \"" + expires + "\"";
            return false;
        }
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        if (*when <= now) {
            verdict += "; EXPIRED " + FormatUtcTime(*when) + ": re-sign it (halcyne-publish --resign)";
            return false;
        }
        verdict += "; expires " + FormatUtcTime(*when);
        if (*when - now < 7 * 86400) {
            verdict += " (WARNING: within 7 days; re-sign it before then)";
        }
        return true;
    }

    bool FirstTime(const std::string& url) { return asked_.insert(url).second; }

    void Line(bool good, const Fetched& fetched, const std::string& url, const std::string& verdict) {
        allWell_ = allWell_ && good;
        char head[64];
        std::snprintf(
            head, sizeof head, "%-4s %3s %10llu B %6lld ms  ", good ? "ok" : "FAIL",
            fetched.status.responseCode > 0 ? std::to_string(fetched.status.responseCode).c_str() : "-",
            static_cast<unsigned long long>(fetched.body.size()), fetched.milliseconds);
        out_ << head << url << "  " << verdict << "\n";
    }

    const EngineSettings& settings_;
    std::ostream& out_;
    EnvironmentHttpProxyFactory proxies_;
    CurlHttpRequestFactory requests_;
    ManifestVerifier verifier_;
    XmlHttpPackageManifestFactory packages_;
    XmlHttpNodeListManifestFactory lists_;
    std::set<std::string> asked_;
    std::map<std::string, std::shared_ptr<PackageManifest>> manifests_;
    std::map<std::string, std::shared_ptr<NodeListManifest>> nodeLists_;
    bool allWell_ = true;
};

}  // namespace

int RunUpdaterCheck(const UpdaterConfiguration& configuration, const EngineSettings& settings,
                    std::ostream& out) {
    Checker checker(settings, out);
    checker.CheckPackage(configuration.DownloaderPartnerId(), configuration.DownloaderPackageId(),
                         std::string(NoValueMarker));
    std::vector<std::string> languages;
    for (const auto& [code, name] : configuration.Languages()) {
        languages.push_back(code);
    }
    if (languages.empty()) {
        languages.push_back("");
    }
    for (const std::string& language : languages) {
        checker.CheckPackage(configuration.GamePartnerId(), configuration.SkinPackageId(language),
                             configuration.SkinVersion());
    }
    out << (checker.AllWell() ? "every request answered and verified\n"
                              : "FAIL: a player's run would not get everything it needs\n");
    return checker.AllWell() ? 0 : 1;
}

}  // namespace halcyne::Updater

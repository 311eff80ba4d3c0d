#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "http/HttpProxy.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpWriteCallback.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"

namespace halcyne {
namespace {

// Answers every URL with the document the test gives for it (a 404 when there is none).
class DocumentRequest : public HttpRequest {
public:
    DocumentRequest(const HttpRequestParams& params, const std::string* document)
        : HttpRequest(params, ""), document_(document) {}
    HttpRequestStatus Perform() override {
        if (document_ == nullptr) {
            return HttpRequestStatus::Failed(HttpRequestResult::ClientError, 0, "HTTP 404");
        }
        return params_->writer->Write(document_->data(), document_->size());
    }
    HttpRequestStatus GetStatus() const override { return HttpRequestStatus(); }
    void Cancel() override {}
    bool Reset(const HttpRequestParams&, const std::string&) override { return false; }

private:
    const std::string* document_;
};

class DocumentRequestFactory : public HttpRequestFactory {
public:
    DocumentRequestFactory() : HttpRequestFactory(&proxies_) {}
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string&) override {
        const auto found = documents.find(params.url);
        return std::make_shared<DocumentRequest>(params, found == documents.end() ? nullptr : &found->second);
    }
    std::map<std::string, std::string> documents;  // filled before the threads start

private:
    EmptyHttpProxyFactory proxies_;
};

TEST(ManifestFactoryConcurrencyTest, ManyThreadsShareOneFactoryOfEachKind) {
    DocumentRequestFactory requests;
    for (const char* version : {"V", "W"}) {
        requests.documents["http://h/manifests/K/" + std::string(version) + ".xml"] =
            "<package id=\"K\" name=\"N\" partnerId=\"P\" versionId=\"" + std::string(version) +
            "\" run=\"\"><files/></package>";
    }
    requests.documents["http://h/nodes/P.xml"] =
        "<ArrayOfNodeInfo><NodeInfo><NodeId>n</NodeId><Host>127.0.0.1:1</Host><Path>/p/</Path>"
        "<Weight>1</Weight></NodeInfo></ArrayOfNodeInfo>";
    // Every document signed, for the factories that verify (each check builds its own OpenSSL objects).
    const publish::SigningKey key = publish::SigningKey::New();
    for (const auto& [url, document] : std::map<std::string, std::string>(requests.documents)) {
        requests.documents[url + ".sig"] = key.Sign(document);
    }
    const ManifestVerifier verifier(key.PublicKeyBase64());
    XmlHttpPackageManifestFactory plainPackages("h", &requests, 5, 5);
    XmlHttpNodeListManifestFactory plainLists("h", &requests, 5, 5);
    XmlHttpPackageManifestFactory signedPackages("h", &requests, 5, 5, &verifier);
    XmlHttpNodeListManifestFactory signedLists("h", &requests, 5, 5, &verifier);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                auto& packages = t % 2 == 0 ? plainPackages : signedPackages;
                auto& lists = t % 2 == 0 ? plainLists : signedLists;
                const std::string version = (t + i) % 2 == 0 ? "V" : "W";
                if (packages.Create("K/" + version)->GetVersionId() != version) {
                    wrong.fetch_add(1);
                }
                if (lists.Create("P")->GetNodes().size() != 1) {
                    wrong.fetch_add(1);
                }
                try {
                    packages.Create("K/X");
                    wrong.fetch_add(1);
                } catch (const ManifestLocatorException&) {
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace halcyne

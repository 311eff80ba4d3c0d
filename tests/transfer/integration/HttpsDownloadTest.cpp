// The engine against a delivery site served over https by nginx, with certificates from an authority the
// test makes and the engine trusts through its CA bundle: a package downloads; a manifest service or a node
// that cannot prove who it is, or that redirects to plain http, ends the transfer with an error and without
// a byte downloaded, and the work log says why.
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/SiteWriter.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"
#include "transfer/DownloadEngine.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;
using namespace std::chrono_literals;

class HttpsDownloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        trusted_ = new TestCertificateAuthority("Trusted Test CA");
        stranger_ = new TestCertificateAuthority("Unknown Test CA");
    }
    static void TearDownTestSuite() {
        delete trusted_;
        delete stranger_;
    }

    HttpsDownloadTest() : tmpdir_("TMPDIR", scratch_ / "tmp") {
        std::filesystem::create_directories(scratch_ / "tmp");
        package_.chunkSize = 16 * 1024;
        package_.run = "bin/run.sh";
        package_.files = {{"bin/run.sh", RandomBytes(40000, 1)}, {"data/a.bin", RandomBytes(70000, 2)}};
        site_.PublishPackage(package_);
        settings_.caBundle = trusted_->Bundle();
        settings_.minRequestTimeout = 2;
        settings_.maxConnectTimeout = 2;
    }

    std::string Dest() const { return scratch_ / "dest"; }

    // Runs a transfer of package K against the manifest service `manifestHost` until it completes or
    // fails (at most 60 s each for the initialisation and the download).
    TransferStatus Run(const std::string& manifestHost) {
        settings_.manifestHost = manifestHost;
        DownloadEngine engine(settings_);
        const auto waitFor = [&](const std::string& id, auto done) {
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            TransferStatus status = engine.GetTransferStatus(id);
            while (!done(status) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(10ms);
                status = engine.GetTransferStatus(id);
            }
            return status;
        };
        const std::string id = engine.StartTransfer("P", "K", "?").transferId;
        const TransferStatus initialized = waitFor(id, [](const TransferStatus& s) {
            return s.state == TransferState::Initialized || s.error != TransferError::None;
        });
        if (initialized.error != TransferError::None) {
            return initialized;
        }
        engine.StartTransferInto(id, Dest());
        return waitFor(id, [](const TransferStatus& s) {
            return s.state == TransferState::Complete || s.error != TransferError::None;
        });
    }

    // Every work log line the run wrote.
    std::string WorkLog() const {
        std::string text;
        for (const auto& entry :
             std::filesystem::directory_iterator(scratch_ / "tmp/Vantrel Technologies/Halcyne/logs")) {
            text += ReadFileText(entry.path().string());
        }
        return text;
    }

    static TestCertificateAuthority* trusted_;
    static TestCertificateAuthority* stranger_;
    ScratchFolder scratch_;
    ScopedEnvironment tmpdir_;
    ScopedEnvironment noProxy_{"https_proxy", std::nullopt}, noProxyUpper_{"HTTPS_PROXY", std::nullopt};
    SiteWriter site_{scratch_ / "site"};
    SitePackage package_;
    EngineSettings settings_;
};

TestCertificateAuthority* HttpsDownloadTest::trusted_ = nullptr;
TestCertificateAuthority* HttpsDownloadTest::stranger_ = nullptr;

TEST_F(HttpsDownloadTest, ManifestsAndChunksComeOverVerifiedTls) {
    NginxServer nginx(site_.Folder(), {.tls = trusted_->Issue("site", "IP:127.0.0.1")});
    site_.PublishNodeList("P", {{"node0", "https://" + nginx.Host()}});
    const TransferStatus final = Run("https://" + nginx.Host());
    EXPECT_EQ(final.state, TransferState::Complete);
    EXPECT_EQ(final.error, TransferError::None);
    for (const auto& file : package_.files) {
        EXPECT_EQ(ReadFileText(Dest() + "/" + file.path), file.content) << file.path;
    }
    const std::string served = nginx.StoppedAccessLog();
    EXPECT_NE(served.find("GET /manifests/K/current.xml"), std::string::npos);
    EXPECT_NE(served.find("GET /nodes/P.xml"), std::string::npos);
    EXPECT_NE(served.find("GET /packages/P/K/V/data/a.bin HTTP/1.1\" 206"), std::string::npos) << served;
}

TEST_F(HttpsDownloadTest, AServerThatCannotProveItselfEndsTheTransferWithoutADownload) {
    const ServerCertificate good = trusted_->Issue("good", "IP:127.0.0.1");
    const ServerCertificate otherName = trusted_->Issue("other-name", "DNS:other.example");
    const ServerCertificate expired = trusted_->Issue("expired", "IP:127.0.0.1", -1);
    const ServerCertificate unknown = stranger_->Issue("unknown", "IP:127.0.0.1");
    NginxServer plain(site_.Folder());
    const std::string toPlain =
        "    location /packages/ { return 302 http://" + plain.Host() + "$request_uri; }\n";
    const struct {
        const char* name;
        const ServerCertificate& manifestCertificate;
        const ServerCertificate& nodeCertificate;
        std::string nodeConfig;
        TransferError error;
        std::string logged;
    } cases[] = {
        // The manifest service: no manifest, so nothing is even prepared; a refused certificate is not
        // taken for a connection error.
        {"service for another name", otherName, good, "", TransferError::Unverified,
         "no alternative certificate subject name matches target host name '127.0.0.1'"},
        {"service expired", expired, good, "", TransferError::Unverified, "certificate has expired"},
        {"service of an unknown authority", unknown, good, "", TransferError::Unverified,
         "unable to get local issuer certificate"},
        // The content node: every chunk request fails and the transfer ends as unverified.
        {"node for another name", good, otherName, "", TransferError::Unverified,
         "no alternative certificate subject name matches target host name '127.0.0.1'"},
        {"node redirecting to http", good, good, toPlain, TransferError::RequestError,
         R"x("errorDetails":"libcurl error 1 (HTTP 302)","curlErrorText":")x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Dest());
        std::filesystem::remove_all(scratch_ / "tmp");
        std::filesystem::create_directories(scratch_ / "tmp");
        NginxServer service(site_.Folder(), {.tls = c.manifestCertificate});
        NginxServer node(site_.Folder(), {.tls = c.nodeCertificate, .serverConfig = c.nodeConfig});
        site_.PublishNodeList("P", {{"node0", "https://" + node.Host()}});
        const TransferStatus final = Run("https://" + service.Host());
        EXPECT_EQ(final.error, c.error);
        EXPECT_NE(final.state, TransferState::Complete);
        EXPECT_EQ(final.transferredBytes, 0u);
        EXPECT_EQ(final.verifiedBytes, 0u);
        EXPECT_NE(WorkLog().find(c.logged), std::string::npos) << WorkLog();
        // Nothing left https: the plain server never saw a request.
        EXPECT_EQ(ReadFileText(plain.AccessLog()), "");
    }
}

}  // namespace
}  // namespace halcyne

#include <deque>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "common/Base64.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
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

using publish::SigningKey;
using ::testing::HasSubstr;

const std::string Manifest =
    "<package id=\"K\" name=\"N\" partnerId=\"P\" versionId=\"V\" run=\"\"><files/></package>\n";
const std::string NodeList = "<ArrayOfNodeInfo><NodeInfo NodeId=\"n\" Host=\"h\"/></ArrayOfNodeInfo>\n";

TEST(Base64Test, RoundTripsAndRefusesEveryNonCanonicalSpelling) {
    for (const std::string& bytes :
         std::vector<std::string>{"", "f", "fo", "foo", "foob", std::string("\0\xff\x10", 3)}) {
        EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes) << EncodeBase64(bytes);
    }
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    for (const char* text : {"Zm8", "Zm8=\n", " Zm8=", "Zm=8", "Zm9=", "Zg==Zg==", "Z===", "====", "Zm8*"}) {
        EXPECT_EQ(DecodeBase64(text), std::nullopt) << text;
    }
}

TEST(ManifestVerifierTest, KeyListsParseOrNameTheBadKey) {
    const std::string a = SigningKey::New().PublicKeyBase64();
    const std::string b = SigningKey::New().PublicKeyBase64();
    struct Case {
        std::string list;
        std::size_t keys;   // when it parses
        std::string error;  // otherwise
    };
    const std::vector<Case> cases = {
        {"", 0, ""},
        {" \t", 0, ""},
        {a, 1, ""},
        {" " + a + " ,\t" + b + " ", 2, ""},
        {a + "\n", 1, ""},  // a key file's line as it stands
        {a + ",," + b, 0, "key 2 of 3 is not"},
        {a + ",", 0, "key 2 of 2 is not"},
        {a.substr(0, 40), 0, "key 1 of 1 is not"},
        {EncodeBase64(std::string(31, 'k')), 0, "key 1 of 1 is not"},
        {EncodeBase64(std::string(33, 'k')), 0, "key 1 of 1 is not"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const ManifestVerifier verifier(c.list);
        if (c.error.empty()) {
            EXPECT_EQ(ParseManifestKeys(c.list).size(), c.keys);
            EXPECT_EQ(verifier.Configured(), c.keys > 0);
            EXPECT_EQ(verifier.KeyError(), "");
        } else {
            EXPECT_THROW(ParseManifestKeys(c.list), std::invalid_argument);
            // A deployment that stamped a broken list is still a signed one.
            EXPECT_TRUE(verifier.Configured());
            EXPECT_THAT(verifier.KeyError(), HasSubstr(c.error));
        }
    }
}

TEST(ManifestVerifierTest, ChecksTheSignatureOfTheExactBytes) {
    const SigningKey key = SigningKey::New();
    const SigningKey other = SigningKey::New();
    const std::string signature = key.Sign(Manifest);
    std::string changed = Manifest;
    changed[10] ^= 1;
    struct Case {
        const char* name;
        std::string keys;
        std::string document;
        std::string signature;
        SignatureCheck expected;
    };
    const std::vector<Case> cases = {
        {"untouched", key.PublicKeyBase64(), Manifest, signature, SignatureCheck::Valid},
        {"blanks around the text", key.PublicKeyBase64(), Manifest, " \r\n" + signature + "\r\n",
         SignatureCheck::Valid},
        {"one bit of the document changed", key.PublicKeyBase64(), changed, signature,
         SignatureCheck::Mismatch},
        {"one more byte", key.PublicKeyBase64(), Manifest + " ", signature, SignatureCheck::Mismatch},
        {"signed by another key", key.PublicKeyBase64(), Manifest, other.Sign(Manifest),
         SignatureCheck::Mismatch},
        {"the node list's signature", key.PublicKeyBase64(), Manifest, key.Sign(NodeList),
         SignatureCheck::Mismatch},
        {"empty", key.PublicKeyBase64(), Manifest, "", SignatureCheck::Malformed},
        {"truncated", key.PublicKeyBase64(), Manifest, signature.substr(0, 60), SignatureCheck::Malformed},
        {"truncated to whole groups", key.PublicKeyBase64(), Manifest, signature.substr(0, 84),
         SignatureCheck::Malformed},
        {"not base64", key.PublicKeyBase64(), Manifest, std::string(88, '!'), SignatureCheck::Malformed},
        {"raw bytes instead of text", key.PublicKeyBase64(), Manifest, *DecodeBase64(signature.substr(0, 88)),
         SignatureCheck::Malformed},
        {"two keys, signed by the second", other.PublicKeyBase64() + "," + key.PublicKeyBase64(), Manifest,
         signature, SignatureCheck::Valid},
        {"no key at all", "", Manifest, signature, SignatureCheck::Mismatch},
        // Several signatures, one per line: a publisher keeps the previous document's beside the new one.
        {"the new document's line, then the previous one's", key.PublicKeyBase64(), Manifest,
         signature + key.Sign(NodeList), SignatureCheck::Valid},
        {"the previous document's line, then the new one's", key.PublicKeyBase64(), Manifest,
         key.Sign(NodeList) + signature, SignatureCheck::Valid},
        {"blank and CRLF lines between", key.PublicKeyBase64(), Manifest,
         "\r\n\n " + key.Sign(NodeList).substr(0, 88) + "\r\n\n\t" + signature, SignatureCheck::Valid},
        {"a malformed line beside one that verifies", key.PublicKeyBase64(), Manifest,
         "not base64\n" + signature.substr(0, 40) + "\n" + signature, SignatureCheck::Valid},
        {"a malformed line beside one that does not verify", key.PublicKeyBase64(), Manifest,
         "not base64\n" + other.Sign(Manifest), SignatureCheck::Mismatch},
        {"every line malformed", key.PublicKeyBase64(), Manifest,
         signature.substr(0, 40) + "\n!!\n" + signature.substr(40), SignatureCheck::Malformed},
        {"eight lines, the last verifies", key.PublicKeyBase64(), Manifest,
         [&] {
             std::string lines;
             for (int i = 0; i < 7; ++i) {
                 lines += other.Sign(Manifest);
             }
             return lines + signature;
         }(),
         SignatureCheck::Valid},
        {"nine lines are refused, a valid one among them", key.PublicKeyBase64(), Manifest,
         [&] {
             std::string lines = signature;
             for (int i = 0; i < 8; ++i) {
                 lines += other.Sign(Manifest);
             }
             return lines;
         }(),
         SignatureCheck::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ManifestVerifier(c.keys).Check(c.document, c.signature), c.expected);
    }
}

// Answers each URL from a queue of scripted answers (the last one repeats) and records the URLs asked for.
class ScriptedService : public HttpRequestFactory {
public:
    struct Answer {
        std::string body;
        HttpRequestStatus status = HttpRequestStatus::Written(0);
    };

    ScriptedService() : HttpRequestFactory(&proxies_) {}

    void Serve(const std::string& path, std::vector<Answer> answers) {
        answers_[Base + path] = std::deque<Answer>(answers.begin(), answers.end());
    }
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string&) override {
        urls.push_back(params.url.substr(Base.size()));
        auto& queue = answers_[params.url];
        Answer answer =
            queue.empty()
                ? Answer{"", HttpRequestStatus::Failed(HttpRequestResult::ClientError, 0, "404 Not Found")}
                : queue.front();
        if (queue.size() > 1) {
            queue.pop_front();
        }
        return std::make_shared<Request>(params, std::move(answer));
    }

    static inline const std::string Base = "http://h";
    std::vector<std::string> urls;

private:
    class Request : public HttpRequest {
    public:
        Request(const HttpRequestParams& params, Answer answer)
            : HttpRequest(params, ""), answer_(std::move(answer)) {}
        HttpRequestStatus Perform() override {
            if (!answer_.body.empty()) {
                params_->writer->Write(answer_.body.data(), answer_.body.size());
            }
            return answer_.status;
        }
        HttpRequestStatus GetStatus() const override { return answer_.status; }
        void Cancel() override {}
        bool Reset(const HttpRequestParams&, const std::string&) override { return false; }

    private:
        Answer answer_;
    };

    EmptyHttpProxyFactory proxies_;
    std::map<std::string, std::deque<Answer>> answers_;
};

TEST(SignedManifestFetchTest, RefusesBeforeParsingAndFetchesAMovingDocumentOnceMore) {
    const SigningKey key = SigningKey::New();
    const std::string signature = key.Sign(Manifest);
    std::string changed = Manifest;
    changed[changed.find("N")] = 'M';
    const auto failed = [](HttpRequestResult result, const char* message) {
        return HttpRequestStatus::Failed(result, 0, message);
    };
    using R = HttpRequestResult;
    struct Case {
        const char* name;
        std::string ref;
        std::vector<ScriptedService::Answer> document;
        std::vector<ScriptedService::Answer> signature;
        std::string error;  // "" when the manifest loads; else a part of the trust exception's message
        std::vector<std::string> urls;
    };
    const std::string current = "/manifests/K/current.xml";
    const std::string versioned = "/manifests/K/V.xml";
    const std::vector<Case> cases = {
        {"signed", "K", {{Manifest}}, {{signature}}, "", {current, current + ".sig"}},
        {"current caught mid-publication: the old bytes, then the new",
         "K",
         {{changed}, {Manifest}},
         {{signature}},
         "",
         {current, current + ".sig", current, current + ".sig"}},
        {"current that stays wrong",
         "K",
         {{changed}},
         {{signature}},
         "does not match the bytes of http://h/manifests/K/current.xml under any of the 1 trusted keys",
         {current, current + ".sig", current, current + ".sig"}},
        {"a given version never moves: no second fetch",
         "K/V",
         {{changed}, {Manifest}},
         {{signature}},
         "the signature http://h/manifests/K/V.xml.sig does not match",
         {versioned, versioned + ".sig"}},
        {"bytes that are not even XML are refused by their signature, not parsed",
         "K/V",
         {{"<package"}},
         {{signature}},
         "the signature http://h/manifests/K/V.xml.sig does not match",
         {versioned, versioned + ".sig"}},
        {"signature missing",
         "K",
         {{Manifest}},
         {{"", failed(R::ClientError, "404 Not Found")}},
         "no signature for http://h/manifests/K/current.xml: http://h/manifests/K/current.xml.sig is missing "
         "(http://h/manifests/K/current.xml.sig: 404 Not Found)",
         {current, current + ".sig"}},
        {"signature empty",
         "K",
         {{Manifest}},
         {{""}},
         "is malformed: it is empty",
         {current, current + ".sig"}},
        {"signature truncated",
         "K",
         {{Manifest}},
         {{signature.substr(0, 40)}},
         "is malformed: it is not the base64 form of a 64-byte Ed25519 signature",
         {current, current + ".sig"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedService service;
        service.Serve(c.ref == "K" ? current : versioned, c.document);
        service.Serve((c.ref == "K" ? current : versioned) + ".sig", c.signature);
        const ManifestVerifier verifier(key.PublicKeyBase64());
        XmlHttpPackageManifestFactory packages("h", &service, 10, 30, &verifier);
        if (c.error.empty()) {
            const auto manifest = packages.Create(c.ref, nullptr);
            EXPECT_EQ(manifest->GetName(), "N");
        } else {
            try {
                packages.Create(c.ref, nullptr);
                ADD_FAILURE() << "loaded";
            } catch (const ManifestTrustException& refused) {
                EXPECT_THAT(refused.what(), HasSubstr(c.error));
            }
        }
        EXPECT_EQ(service.urls, c.urls);
    }
}

TEST(SignedManifestFetchTest, NetworkFailuresStayRetryableAndABrokenKeyListRefusesWithoutARequest) {
    const SigningKey key = SigningKey::New();
    {
        // A signature the service cannot send now is a stream failure, which the manifest works retry.
        ScriptedService service;
        service.Serve("/nodes/P.xml", {{NodeList}});
        service.Serve("/nodes/P.xml.sig",
                      {{"", HttpRequestStatus::Failed(HttpRequestResult::ServerError, 0, "503")}});
        const ManifestVerifier verifier(key.PublicKeyBase64());
        XmlHttpNodeListManifestFactory lists("h", &service, 10, 30, &verifier);
        EXPECT_THROW(lists.Create("P", nullptr), ManifestStreamException);
    }
    {
        ScriptedService service;
        const ManifestVerifier verifier(key.PublicKeyBase64() + ",x");
        XmlHttpNodeListManifestFactory lists("h", &service, 10, 30, &verifier);
        try {
            lists.Create("P", nullptr);
            ADD_FAILURE() << "loaded";
        } catch (const ManifestTrustException& refused) {
            EXPECT_THAT(refused.what(), HasSubstr("the updater's manifest keys are malformed (key 2 of 2"));
        }
        EXPECT_TRUE(service.urls.empty());
    }
    {
        // The node list moves: its signature is checked again once, and a signed list loads.
        ScriptedService service;
        std::string stale = NodeList;
        stale.insert(stale.find("/>"), " Weight=\"2\"");
        service.Serve("/nodes/P.xml", {{stale}, {NodeList}});
        service.Serve("/nodes/P.xml.sig", {{key.Sign(NodeList)}});
        const ManifestVerifier verifier(key.PublicKeyBase64());
        XmlHttpNodeListManifestFactory lists("h", &service, 10, 30, &verifier);
        EXPECT_EQ(lists.Create("P", nullptr)->GetNodes().at(0)->GetWeight(), 1u);
        EXPECT_EQ(service.urls.size(), 4u);
    }
    {
        // Without keys nothing but the document is fetched.
        ScriptedService service;
        service.Serve("/nodes/P.xml", {{NodeList}});
        const ManifestVerifier verifier("");
        XmlHttpNodeListManifestFactory lists("h", &service, 10, 30, &verifier);
        EXPECT_EQ(lists.Create("P", nullptr)->GetNodes().size(), 1u);
        EXPECT_EQ(service.urls, std::vector<std::string>{"/nodes/P.xml"});
    }
}

TEST(SignedManifestFetchTest, ASignedManifestMustHashItsRunFileAndEveryExecutable) {
    const SigningKey key = SigningKey::New();
    const auto file = [](const std::string& path, bool hashed, bool marked = false) {
        return "<file path=\"" + path + "\" chunksize=\"1\" size=\"1\" checksums=\"00000000\"" +
               (hashed ? " sha256=\"" + std::string(64, 'a') + "\"" : "") +
               (marked ? " executable=\"true\"" : "") + "/>";
    };
    struct Case {
        const char* name;
        std::string run;
        std::string files;
        bool signedDeployment;
        std::string error;  // "" when the manifest loads
    };
    const std::vector<Case> cases = {
        {"run file and executables hashed", "bin/run.sh",
         file("bin/run.sh", true) + file("tools/setup.exe", true) + file("data/readme.txt", false), true, ""},
        {"run file without sha256", "bin/run.sh", file("bin/run.sh", false), true,
         "is signed, but its run file bin/run.sh carries no sha256"},
        {"a run file whatever its extension", "game.bin", file("game.bin", false), true,
         "its run file game.bin carries no sha256"},
        {"an executable that is not the run file", "bin/run.sh",
         file("bin/run.sh", true) + file("tools/setup.exe", false), true,
         "the executable tools/setup.exe carries no sha256"},
        {"no run file, nothing executable", "", file("data/readme.txt", false), true, ""},
        {"a marked program without extension", "bin/run.sh",
         file("bin/run.sh", true) + file("bin/helper", false, true), true,
         "the executable bin/helper carries no sha256"},
        {"beside a mark, an unmarked extension is data", "bin/run.sh",
         file("bin/run.sh", true) + file("bin/helper", true, true) + file("docs/notes.sh", false), true, ""},
        {"an unsigned deployment requires nothing", "bin/run.sh",
         file("bin/run.sh", false) + file("tools/setup.exe", false), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string xml = "<package id=\"K\" name=\"N\" partnerId=\"P\" versionId=\"V\" run=\"" +
                                c.run + "\"><files>" + c.files + "</files></package>";
        ScriptedService service;
        service.Serve("/manifests/K/V.xml", {{xml}});
        service.Serve("/manifests/K/V.xml.sig", {{key.Sign(xml)}});
        const ManifestVerifier verifier(c.signedDeployment ? key.PublicKeyBase64() : "");
        PosixSharedFileFactory executables;
        XmlHttpPackageManifestFactory packages("h", &service, 10, 30, &verifier, &executables);
        if (c.error.empty()) {
            EXPECT_EQ(packages.Create("K/V", nullptr)->GetId(), "K");
            continue;
        }
        try {
            packages.Create("K/V", nullptr);
            ADD_FAILURE() << "loaded";
        } catch (const ManifestTrustException& refused) {
            EXPECT_THAT(refused.what(), HasSubstr(c.error));
        }
    }
}

}  // namespace
}  // namespace halcyne

#include <stdexcept>

#include <gtest/gtest.h>

#include "manifest/ManifestException.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "manifest/PackageRef.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "support/PipelineHarness.hpp"
#include "support/SiteWriter.hpp"

namespace halcyne {
namespace {

std::shared_ptr<NodeManifest> Node(const std::string& host, const std::string& path) {
    return test::LoadNodeListXml(test::SiteWriter::NodeListXml({{"n", host, path, 1}}))->GetNodes().front();
}

struct UrlCase {
    std::string nodeHost;
    std::string nodePath;
    std::string partner;
    std::string package;
    std::string version;
    std::string filePath;
    std::string url;
};

TEST(OptimizedRequestParamsTest, ChunkUrls) {
    const UrlCase cases[] = {
        // Ordinary identifiers and paths: the node path, the ids and the file path joined by '/'.
        {"cdn.example", "/packages/", "P", "K", "V", "bin/game.dat",
         "http://cdn.example/packages/P/K/V/bin/game.dat"},
        {"127.0.0.1:8080", "/", "P", "K", "V", "a.pak", "http://127.0.0.1:8080/P/K/V/a.pak"},
        {"cdn.example", "/packages/", "P", "K", "V", "///lead/x", "http://cdn.example/packages/P/K/V/lead/x"},
        // Dot segments of the node path and the file path are removed; the file path never climbs above the
        // version's folder.
        {"cdn.example", "/packages/", "P", "K", "V", "a/../b/./c", "http://cdn.example/packages/P/K/V/b/c"},
        {"cdn.example", "/packages/", "P", "K", "V", "../../../x", "http://cdn.example/packages/P/K/V/x"},
        {"cdn.example", "/a/./b/../packages/", "P", "K", "V", "f", "http://cdn.example/a/packages/P/K/V/f"},
        // An id is one segment, never a reference of its own.
        {"cdn.example", "/packages/", "/abs", "K", "V", "f", "http://cdn.example/packages/%2Fabs/K/V/f"},
        // The file path stays a path: '%', '#', '?', spaces, controls and non-ASCII are encoded in upper
        // case.
        {"cdn.example", "/p/", "P", "K", "V", "100%.txt", "http://cdn.example/p/P/K/V/100%25.txt"},
        {"cdn.example", "/p/", "P", "K", "V", "a#b?c", "http://cdn.example/p/P/K/V/a%23b%3Fc"},
        {"cdn.example", "/p/", "P", "K", "V", "my file\t.txt", "http://cdn.example/p/P/K/V/my%20file%09.txt"},
        {"cdn.example", "/p/", "P", "K", "V", "caf\xc3\xa9", "http://cdn.example/p/P/K/V/caf%C3%A9"},
        {"cdn.example", "/p/", "P", "K", "V", "%41", "http://cdn.example/p/P/K/V/%2541"},
        // A first segment with ':' is not a scheme.
        {"cdn.example", "/p/", "P", "K", "V", "c:/x.dat", "http://cdn.example/p/P/K/V/c:/x.dat"},
        {"cdn.example", "/p/", "P", "K", "V", "http://evil.example/x",
         "http://cdn.example/p/P/K/V/http:/evil.example/x"},
        {"cdn.example", "/p/", "P", "K", "V", "dir/a:b", "http://cdn.example/p/P/K/V/dir/a:b"},
        // A node written with https is reached with it; a file path cannot change the scheme.
        {"https://cdn.example:8443", "/packages/", "P", "K", "V", "bin/game.dat",
         "https://cdn.example:8443/packages/P/K/V/bin/game.dat"},
        {"HTTPS://[::1]", "/p/", "P", "K", "V", "http://evil.example/x",
         "https://[::1]/p/P/K/V/http:/evil.example/x"},
        {"http://cdn.example", "/p/", "P", "K", "V", "f", "http://cdn.example/p/P/K/V/f"},
    };
    for (const UrlCase& c : cases) {
        TransferParams transfer;
        transfer.partnerId = c.partner;
        transfer.packageId = c.package;
        transfer.versionId = c.version;
        OptimizedRequestParams params(nullptr, transfer, RequestedChunk{c.filePath, 0, 9});
        params.SelectedNode = Node(c.nodeHost, c.nodePath);
        EXPECT_EQ(params.ToUrl(), c.url) << c.filePath;
    }
}

// Each of the partner, package and version ids is one path segment of every URL it enters: the chunk URL,
// the package manifest's and the node list's. An id that cannot be a segment refuses the request, and a
// current manifest that names such a version is refused as it loads.
TEST(OptimizedRequestParamsTest, IdsStayInTheirOwnPathSegment) {
    struct Case {
        std::string id;
        std::string segment;  // "" when the id is refused
    };
    const Case cases[] = {
        {"5f2a9c1e7b3d4a6f8e0c1b2d", "5f2a9c1e7b3d4a6f8e0c1b2d"},
        {"1.0-rc_2~x", "1.0-rc_2~x"},
        {"caf\xc3\xa9 x!", "caf%C3%A9%20x%21"},
        {"//elsewhere.example", "%2F%2Felsewhere.example"},
        {"v1:beta", "v1:beta"},
        {"build:42", "build:42"},
        {"1.0?rc", "1.0%3Frc"},
        {"a#b", "a%23b"},
        {"a/b", "a%2Fb"},
        {"%2e%2e", "%252e%252e"},
        {"..", ""},
        {".", ""},
        {"", ""},
        {"1.0\t", ""},
        {"1.0\x7f", ""},
        {std::string("a\0b", 3), ""},
    };
    XmlHttpPackageManifestFactory packages("m.example:8080", nullptr, 10, 30);
    XmlHttpNodeListManifestFactory lists("m.example:8080", nullptr, 10, 30);
    const RequestedChunk chunk{"f", 0, 9};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        TransferParams transfer;
        transfer.partnerId = c.id;
        transfer.packageId = c.id;
        transfer.versionId = c.id;
        OptimizedRequestParams params(nullptr, transfer, chunk);
        params.SelectedNode = Node("cdn.example", "/packages/");
        const auto versionManifest = [&] {
            return test::LoadPackageXml("<package id='K' name='N' partnerId='P' versionId='" + c.id +
                                        "' run=''><files/></package>");
        };
        if (c.segment.empty()) {
            EXPECT_THROW(params.ToUrl(), ManifestLocatorException);
            if (!c.id.empty()) {  // an empty version names the current manifest
                EXPECT_THROW(MakePackageRef("K", c.id), ManifestLocatorException);
            }
            EXPECT_THROW(MakePackageRef(c.id, ""), ManifestLocatorException);
            EXPECT_THROW(lists.BuildUrl(c.id), ManifestLocatorException);
            if (c.id.find('\0') == std::string::npos) {
                EXPECT_THROW(RequireUsableVersionId(*versionManifest()), ManifestParseException);
            }
            continue;
        }
        const std::string& s = c.segment;
        EXPECT_EQ(params.ToUrl(), "http://cdn.example/packages/" + s + "/" + s + "/" + s + "/f");
        EXPECT_EQ(packages.BuildUrl(MakePackageRef("K", c.id)),
                  "http://m.example:8080/manifests/K/" + s + ".xml");
        EXPECT_EQ(packages.BuildUrl(MakePackageRef(c.id, "")),
                  "http://m.example:8080/manifests/" + s + "/current.xml");
        EXPECT_EQ(lists.BuildUrl(c.id), "http://m.example:8080/nodes/" + s + ".xml");
        // The reference gives the ids back, so a fetched manifest is matched against the ids themselves.
        EXPECT_EQ(SplitPackageRef(MakePackageRef("K", c.id)), std::make_pair(std::string("K"), c.id));
        if (c.id.find_first_of("<>&'") == std::string::npos) {
            EXPECT_NO_THROW(RequireUsableVersionId(*versionManifest()));
        }
    }
}

TEST(OptimizedRequestParamsTest, ToUrlNeedsNodeAndChunk) {
    OptimizedRequestParams noNode(nullptr, TransferParams(), RequestedChunk{"f", 0, 9});
    OptimizedRequestParams noChunk(nullptr, TransferParams(), std::nullopt);
    noChunk.SelectedNode = Node("h", "/");
    for (const OptimizedRequestParams* params : {&noNode, &noChunk}) {
        try {
            params->ToUrl();
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(),
                         "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData");
        }
    }
}

TEST(OptimizedRequestParamsTest, RequestParamsAskForExactlyTheChunk) {
    TransferParams transfer;
    transfer.partnerId = "P";
    transfer.packageId = "K";
    transfer.versionId = "V";
    OptimizedRequestParams params(nullptr, transfer, RequestedChunk{"f", 40, 59});
    params.SelectedNode = Node("h:81", "/n/");
    params.connectTimeout = 3;
    params.timeout = 11;
    params.lowSpeedLimit = 500;
    params.lowSpeedTime = 7;
    const HttpRequestParams request = params.ToRequestParams(nullptr);
    EXPECT_EQ(request.url, "http://h:81/n/P/K/V/f");
    EXPECT_EQ(request.rangeStart, 40u);
    EXPECT_EQ(request.rangeEnd, 59u);
    EXPECT_EQ(request.connectTimeout, 3);
    EXPECT_EQ(request.timeout, 11);
    EXPECT_EQ(request.lowSpeedLimit, 500);
    EXPECT_EQ(request.lowSpeedTime, 7);
    EXPECT_EQ(request.method, HttpMethod::Get);
    EXPECT_EQ(request.userAgent, DefaultUserAgent());
}

}  // namespace
}  // namespace halcyne

// The deployment guide's nginx configurations and Varnish program (docs/), run as shipped: each path of a
// signed site gets the caching it needs from the origin, the origin serves nothing but the site's documents
// and files, and a cache hands a player who asks for a fresh copy of a manifest service document the
// origin's current one.
#include <map>

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "support/CachedSite.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;

struct Answer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

// One GET with curl and the given request headers.
Answer Get(const std::string& url, const std::vector<std::string>& headers = {}) {
    test::ScratchFolder scratch;
    std::vector<std::string> arguments = {"-s", "-D", scratch / "headers", "-o", scratch / "body"};
    for (const std::string& header : headers) {
        arguments.insert(arguments.end(), {"-H", header});
    }
    arguments.push_back(url);
    const auto run = test::RunProgram("/usr/bin/curl", arguments);
    EXPECT_EQ(run.exitStatus, 0) << url << run.errors;
    Answer answer;
    std::vector<std::string> lines;
    const std::string head = test::ReadFileText(scratch / "headers");
    boost::split(lines, head, boost::is_any_of("\n"));
    for (std::string line : lines) {
        boost::trim(line);
        if (line.starts_with("HTTP/")) {
            answer.status = std::stoi(line.substr(line.find(' ') + 1, 3));
        } else if (const auto colon = line.find(':'); colon != std::string::npos) {
            answer.headers[boost::to_lower_copy(line.substr(0, colon))] =
                boost::trim_copy(line.substr(colon + 1));
        }
    }
    if (fs::exists(scratch / "body")) {  // curl writes none for an empty body
        answer.body = test::ReadFileText(scratch / "body");
    }
    return answer;
}

class CachingConfigurationTest : public ::testing::Test {
protected:
    CachingConfigurationTest() {
        fs::create_directories(scratch / "package/bin");
        test::WriteFileText(scratch / "package/bin/run.sh", "#!/bin/sh\n");
        test::WriteFileText(scratch / "package/data.bin", test::RandomBytes(200000, 1));
        publisher.SignWith(std::make_shared<publish::SigningKey>(publish::SigningKey::New()));
        publisher.PublishNodeList("P", {{"n", "127.0.0.1:1", "/packages/", 1}});
        publisher.PublishFolder(scratch / "package", {"P", "K", "1", "Game", "bin/run.sh", 65536});
    }

    std::string Site() const { return scratch / "site"; }

    test::ScratchFolder scratch;
    publish::SitePublisher publisher{scratch / "site"};
};

TEST_F(CachingConfigurationTest, EachPathGetsTheCachingItNeedsFromTheOrigin) {
    test::CachedSite served({.site = Site(), .caches = 0});
    const std::string manifests = "http://" + served.OriginManifestHost();
    const std::string node = "http://" + served.OriginNodeHost();
    // A publication in progress, as the publisher leaves its files until it renames them.
    test::WriteFileText(Site() + "/packages/P/K/1/.data.bin.publishing-a1b2c3", "partial");
    test::WriteFileText(Site() + "/manifests/K/.current.xml.publishing-a1b2c3", "<package");
    const std::string moving = "public, max-age=60";
    const std::string immutable = "public, max-age=31536000, immutable";
    const struct {
        std::string url;
        int status;
        std::string cacheControl;  // "" for none
        bool validators;           // a conditional GET with the answer's own validators gets 304
    } cases[] = {
        // Moving documents: short-lived, and never "unchanged" on nginx's one-second validators.
        {manifests + "/manifests/K/current.xml", 200, moving, false},
        {manifests + "/manifests/K/current.xml.sig", 200, moving, false},
        {manifests + "/nodes/P.xml", 200, moving, false},
        {manifests + "/nodes/P.xml.sig", 200, moving, false},
        // What a version publishes never changes.
        {manifests + "/manifests/K/1.xml", 200, immutable, true},
        {manifests + "/manifests/K/1.xml.sig", 200, immutable, true},
        {node + "/packages/P/K/1/data.bin", 200, immutable, true},
        {node + "/packages/P/K/1/bin/run.sh", 200, immutable, true},
        // Nothing else of the site folder, and each server only its own part.
        {manifests + "/packages/P/K/1/data.bin", 404, "", false},
        {manifests + "/signed-site", 404, "", false},
        {manifests + "/manifests/K/.current.xml.publishing-a1b2c3", 404, "", false},
        {node + "/manifests/K/current.xml", 404, "", false},
        {node + "/nodes/P.xml", 404, "", false},
        {node + "/packages/P/K/1/.data.bin.publishing-a1b2c3", 404, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.headers.contains("cache-control") ? answer.headers.at("cache-control") : "",
                  c.cacheControl);
        if (c.status != 200) {
            continue;
        }
        std::vector<std::string> conditional;
        if (answer.headers.contains("etag")) {
            conditional.push_back("If-None-Match: " + answer.headers.at("etag"));
        }
        if (answer.headers.contains("last-modified")) {
            conditional.push_back("If-Modified-Since: " + answer.headers.at("last-modified"));
        }
        EXPECT_EQ(Get(c.url, conditional).status, c.validators ? 304 : 200);
    }
    // The node serves the ranges the updater asks for.
    const Answer range = Get(node + "/packages/P/K/1/data.bin", {"Range: bytes=65536-131071"});
    EXPECT_EQ(range.status, 206);
    EXPECT_TRUE(range.body == test::RandomBytes(200000, 1).substr(65536, 65536));
}

TEST_F(CachingConfigurationTest, ACacheHandsOutTheOriginsCopyOfADocumentAskedForFresh) {
    test::CachedSite served({.site = Site(), .caches = 1, .movingSeconds = 600});
    const std::string cache = "http://" + served.CacheHost(0);
    const std::string old = test::ReadFileText(Site() + "/manifests/K/current.xml");
    const std::string oldData = test::RandomBytes(200000, 1);
    ASSERT_TRUE(Get(cache + "/manifests/K/current.xml").body == old);
    ASSERT_TRUE(Get(cache + "/packages/P/K/1/data.bin").body == oldData);

    // The origin changes under the cache (a package file never does; this one does only to show where the
    // cache's copy came from).
    test::WriteFileText(scratch / "package/data.bin", test::RandomBytes(200000, 2));
    publisher.PublishFolder(scratch / "package", {"P", "K", "2", "Game", "bin/run.sh", 65536});
    const std::string fresh = test::ReadFileText(Site() + "/manifests/K/current.xml");
    ASSERT_NE(fresh, old);
    test::WriteFileText(Site() + "/packages/P/K/1/data.bin", test::RandomBytes(200000, 3));

    const struct {
        std::string path;
        std::vector<std::string> headers;
        std::string body;
    } cases[] = {
        {"/manifests/K/current.xml", {}, old},
        {"/manifests/K/current.xml", {"Cache-Control: no-cache"}, fresh},
        {"/manifests/K/current.xml", {}, fresh},  // the fresh copy replaced the cached one
        {"/packages/P/K/1/data.bin", {"Cache-Control: no-cache"}, oldData},  // never past the cache
        {"/packages/P/K/1/data.bin", {"Pragma: no-cache"}, oldData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.headers.empty() ? "" : " " + c.headers[0]));
        const Answer answer = Get(cache + c.path, c.headers);
        EXPECT_EQ(answer.status, 200);
        EXPECT_TRUE(answer.body == c.body);
    }
    // What is not the site's, the cache refuses itself.
    EXPECT_EQ(Get(cache + "/signed-site").status, 404);
}

}  // namespace
}  // namespace halcyne

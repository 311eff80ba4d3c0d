// The local delivery service program and its test fixture: what the site writer publishes, what the
// servers answer, and that every fault does what the tests of the engine rely on.
#include <sstream>
#include <thread>

#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include "http/CurlHttpRequest.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using R = HttpRequestResult;
using test::DeliveryFault;

struct Fetched {
    HttpRequestStatus status;
    std::string body;
};

Fetched Fetch(const std::string& url, std::uint64_t start = 0, std::uint64_t end = HttpRangeToEnd,
              int timeout = 0) {
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params(url, &writer);
    params.rangeStart = start;
    params.rangeEnd = end;
    params.timeout = timeout;
    CurlHttpRequest request(params, "");
    const HttpRequestStatus status = request.Perform();
    return {status, body.str()};
}

class DeliveryServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        package.chunkSize = 4;
        package.run = "bin/run.sh";
        package.files = {{.path = "bin/run.sh", .content = "0123456789", .source = {}},
                         {.path = "data/one", .content = "x", .source = {}}};
        manifest = site.PublishPackage(package);
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .nodes = 2});
        site.PublishNodeList("P", service->Nodes());
    }
    std::string NodeUrl(int node, const std::string& path = "/packages/P/K/V/bin/run.sh") const {
        return "http://" + service->NodeHost(node) + path;
    }

    test::ScratchFolder scratch;
    test::SiteWriter site{scratch / "site"};
    test::SitePackage package;
    std::string manifest;
    std::unique_ptr<test::LocalDeliveryService> service;
};

TEST_F(DeliveryServiceTest, ManifestServiceServesWhatTheSiteWriterPublished) {
    EXPECT_EQ(test::Crc32("123456789", 9), 0xCBF43926u);

    const Fetched current = Fetch("http://" + service->ManifestHost() + "/manifests/K/current.xml");
    ASSERT_EQ(current.status.result, R::Success) << current.status.errorMessage;
    EXPECT_EQ(current.body, manifest);
    EXPECT_EQ(Fetch("http://" + service->ManifestHost() + "/manifests/K/V.xml").body, manifest);

    boost::property_tree::ptree tree;
    std::istringstream in(manifest);
    boost::property_tree::read_xml(in, tree);
    EXPECT_EQ(tree.get<std::string>("package.id"), "K");
    EXPECT_EQ(tree.get<std::string>("package.partnerId"), "P");
    EXPECT_EQ(tree.get<std::string>("package.versionId"), "V");
    EXPECT_EQ(tree.get<std::string>("package.run"), "bin/run.sh");
    const auto& files = tree.get_child("package.files");
    ASSERT_EQ(files.size(), 2u);
    const auto& first = files.begin()->second;
    EXPECT_EQ(first.get<std::string>("path"), "bin/run.sh");
    EXPECT_EQ(first.get<std::string>("size"), "10");
    EXPECT_EQ(first.get<std::string>("chunksize"), "4");
    char expected[25];
    std::snprintf(expected, sizeof expected, "%08x%08x%08x", test::Crc32("0123", 4), test::Crc32("4567", 4),
                  test::Crc32("89", 2));
    EXPECT_EQ(first.get<std::string>("checksums"), expected);

    const Fetched nodes = Fetch("http://" + service->ManifestHost() + "/nodes/P.xml");
    ASSERT_EQ(nodes.status.result, R::Success);
    boost::property_tree::ptree list;
    std::istringstream listIn(nodes.body);
    boost::property_tree::read_xml(listIn, list);
    ASSERT_EQ(list.get_child("ArrayOfNodeInfo").size(), 2u);
    EXPECT_EQ(list.get_child("ArrayOfNodeInfo").begin()->second.get<std::string>("Host"),
              service->NodeHost(0));

    // Nothing outside the site folder is served.
    EXPECT_EQ(Fetch("http://" + service->ManifestHost() + "/manifests/K/missing.xml").status.responseCode,
              404);
    EXPECT_EQ(Fetch("http://" + service->ManifestHost() + "/%2e%2e/%2e%2e/etc/passwd").status.responseCode,
              404);
}

TEST_F(DeliveryServiceTest, FaultsApplyToTheirServerPathAndCount) {
    service->AddFault({.server = "node0", .path = "/packages/P/K/V/bin/", .status = 503, .count = 2});
    EXPECT_EQ(Fetch(NodeUrl(1)).status.result, R::Success);              // other node
    EXPECT_EQ(Fetch(NodeUrl(0, "/packages/P/K/V/data/one")).body, "x");  // other path
    EXPECT_EQ(Fetch(NodeUrl(0)).status.result, R::ServerError);
    EXPECT_EQ(Fetch(NodeUrl(0)).status.result, R::ServerError);
    EXPECT_EQ(Fetch(NodeUrl(0)).body, "0123456789");  // counted down and gone

    const auto records = service->Records();
    const auto node0 = records.RequestsTo("node0");
    ASSERT_EQ(node0.size(), 4u);
    EXPECT_FALSE(node0[0].faulted);
    EXPECT_TRUE(node0[1].faulted);
    EXPECT_EQ(node0[1].status, 503);
    EXPECT_FALSE(node0[3].faulted);
    EXPECT_EQ(node0[3].bytes, 10u);
    EXPECT_EQ(records.Counts("node1").requests, 1u);
}

TEST_F(DeliveryServiceTest, BodyFaultsChangeWhatArrives) {
    const struct {
        const char* name;
        DeliveryFault fault;
        R result;
        std::string body;
    } cases[] = {
        {"wrong bytes", {.wrong = true}, R::Success, "\xCD\xCC\xCB\xCA"},
        {"slow", {.rate = 40}, R::Success, "2345"},
        {"extra", {.extra = 2}, R::Success, "2345\xEE\xEE"},
        {"no length, the body ends at the close", {.extra = 2, .unsized = true}, R::Success, "2345\xEE\xEE"},
        {"short", {.shortBy = 1}, R::OutOfRange, "234"},
        {"stall after bytes", {.stall = true, .stallAfter = 2, .stallMs = 5000}, R::TimedOut, "23"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->ClearFaults();
        DeliveryFault fault = c.fault;
        fault.server = "node0";
        service->AddFault(fault);
        const Fetched fetched = Fetch(NodeUrl(0), 2, 5, 1);
        EXPECT_EQ(fetched.status.result, c.result) << fetched.status.errorMessage;
        EXPECT_EQ(fetched.body, c.body);
    }
}

TEST_F(DeliveryServiceTest, ClearingFaultsEndsStallsAndReopensRefusedServers) {
    service->AddFault({.server = "node1", .refuse = true});
    EXPECT_EQ(Fetch(NodeUrl(1)).status.result, R::ConnectFailed);
    service->AddFault({.server = "node0", .stall = true});
    std::thread stalled([&] {
        const Fetched fetched = Fetch(NodeUrl(0), 0, HttpRangeToEnd, 30);
        EXPECT_NE(fetched.status.result, R::TimedOut);  // released long before its time-out
    });
    while (service->Records().RequestsTo("node0").empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    service->ClearFaults();
    stalled.join();
    EXPECT_EQ(Fetch(NodeUrl(1)).body, "0123456789");
}

TEST_F(DeliveryServiceTest, AnalyticsEndpointsRecordEveryPostedBody) {
    service->AddFault({.server = "transfers", .status = 503, .count = 1});
    for (const std::string& url : {service->EventsUrl(), service->TransfersUrl(), service->TransfersUrl()}) {
        std::stringstream answer;
        HttpStringstreamWriter writer(&answer);
        HttpRequestParams params(url, &writer);
        params.method = HttpMethod::Post;
        params.contentType = "application/json";
        params.body = "[]\n";
        CurlHttpRequest request(params, "");
        request.Perform();
    }
    const auto records = service->Records();
    ASSERT_EQ(records.PostsTo("events").size(), 1u);
    const auto transfers = records.PostsTo("transfers");
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].answered, 503);
    EXPECT_EQ(transfers[1].answered, 200);
    EXPECT_EQ(transfers[1].body, "[]\n");
}

TEST(DeliveryProgramTest, ExplainsItselfAndRejectsBadArguments) {
    const auto help = test::RunProgram(test::DeliveryProgram(), {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("--site FOLDER"), std::string::npos);
    EXPECT_NE(help.output.find("\"stallAfter\""), std::string::npos);
    EXPECT_EQ(test::RunProgram(test::DeliveryProgram(), {}).exitStatus, 2);
    EXPECT_EQ(test::RunProgram(test::DeliveryProgram(), {"--site", "/nonexistent-folder"}).exitStatus, 2);
    EXPECT_EQ(test::RunProgram(test::DeliveryProgram(), {"--site", ".", "--nodes", "x"}).exitStatus, 2);
}

}  // namespace
}  // namespace halcyne

#include <memory>

#include <gtest/gtest.h>

#include "events/EventAnalyticsRequest.hpp"
#include "events/JsonText.hpp"
#include "events/TransferAnalyticsRequest.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

TransferParams Params(std::string versionId = "?") {
    TransferParams params;
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = std::move(versionId);
    return params;
}

std::string Body(const OutputManifest& request) {
    ptree tree;
    request.Save(tree);
    return WriteJsonText(tree);
}

TEST(AnalyticsRequestTest, EventRequestBodies) {
    struct Case {
        const char* label;
        std::shared_ptr<OutputManifest> request;
        std::string expected;
    };
    const Case cases[] = {
        {"simple", std::make_shared<SimpleEventAnalyticsRequest>(Params(), "numStarts"),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"numStarts":"1"},"dimensions":{}})"},
        {"counter with a dot stays one key",
         std::make_shared<SimpleEventAnalyticsRequest>(Params("1.2"), "a.b"),
         R"({"pid":"P","pkgid":"K","vid":"1.2","metrics":{"a.b":"1"},"dimensions":{}})"},
        {"error with tab and quote",
         std::make_shared<ErrorAnalyticsRequest>(Params(), "numFatalErrors", "bad\t\"x\""),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"numFatalErrors":"1"},)"
         R"("dimensions":{"error":"bad\u0009\"x\""}})"},
        {"error without text", std::make_shared<ErrorAnalyticsRequest>(Params(), "numRetryableErrors", ""),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"numRetryableErrors":"1"},"dimensions":{}})"},
        {"optimizer",
         std::make_shared<OptimizerAnalyticsRequest>(Params(), 1048576, 2500, "cdn1.example:8080"),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"bytes":"1048576","requestTime":"2.5"},)"
         R"("dimensions":{"cdn":"cdn1.example:8080"}})"},
        {"optimizer, nothing moved", std::make_shared<OptimizerAnalyticsRequest>(Params(), 0, 0, ""),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"bytes":"0","requestTime":"0"},"dimensions":{"cdn":""}})"},
        {"optimizer, largest counts",
         std::make_shared<OptimizerAnalyticsRequest>(Params(), 18446744073709551615ull, 12345, "h"),
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"bytes":"18446744073709551615","requestTime":"12.345"},)"
         R"("dimensions":{"cdn":"h"}})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Body(*c.request), c.expected + "\n");
    }
}

TEST(AnalyticsRequestTest, TransferRequestStatusAndNumbers) {
    const std::pair<TransferState, const char*> states[] = {
        {TransferState::Absent, "active"},
        {TransferState::Initializing, "active"},
        {TransferState::InitializingPaused, "active"},
        {TransferState::Initialized, "active"},
        {TransferState::Transferring, "active"},
        {TransferState::Paused, "active"},
        {TransferState::Suspended, "suspended"},
        {TransferState::Complete, "completed"},
        {TransferState::Cancelled, "canceled"},
    };
    for (const auto& [state, status] : states) {
        EXPECT_EQ(
            Body(TransferAnalyticsRequest(Params(), state, 0, 0)),
            std::string(R"({"pid":"P","pkgid":"K","vid":"?","tid":"0123456789abcdef0123456789abcdef",)") +
                R"("status":")" + status + R"(","transferBytes":"0","duration":"0"})" + "\n");
    }
    ptree tree;
    TransferAnalyticsRequest(Params(), TransferState::Complete, 5000000000ull, 1001).Save(tree);
    EXPECT_EQ(tree.get<std::string>("transferBytes"), "5000000000");
    EXPECT_EQ(tree.get<std::string>("duration"), "1.001");
    tree.clear();
    TransferAnalyticsRequest(Params(), TransferState::Complete, 1, 1).Save(tree);
    EXPECT_EQ(tree.get<std::string>("duration"), "0.001");
}

TEST(AnalyticsRequestTest, ArrayWorkBodies) {
    // What the end, error and periodic events post to the event stream: an array of request objects.
    ptree array;
    EXPECT_EQ(WriteJsonText(array), "[]\n");  // no own request, no node reports
    array.push_back({"", ptree()});
    SimpleEventAnalyticsRequest(Params(), "numCompletes").Save(array.back().second);
    array.push_back({"", ptree()});
    OptimizerAnalyticsRequest(Params(), 10, 20, "n").Save(array.back().second);
    EXPECT_EQ(WriteJsonText(array),
              R"([{"pid":"P","pkgid":"K","vid":"?","metrics":{"numCompletes":"1"},"dimensions":{}},)"
              R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"bytes":"10","requestTime":"0.02"},)"
              R"("dimensions":{"cdn":"n"}}])"
              "\n");
}

}  // namespace
}  // namespace halcyne

#include <atomic>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "http/CurlHttpRequest.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using test::DeliveryFault;
using R = HttpRequestResult;

// Takes at most `limit` bytes, as a chunk's view does: a piece that would cross it is refused whole.
class BoundedWriter : public HttpWriteCallback {
public:
    explicit BoundedWriter(std::size_t limit) : limit_(limit) {}
    HttpRequestStatus Write(const char* data, std::size_t length) override {
        if (bytes.size() + length > limit_) {
            return HttpRequestStatus::Failed(R::OutOfRange, 0, "past the chunk");
        }
        bytes.append(data, length);
        return HttpRequestStatus::Written(length);
    }
    std::string bytes;

private:
    std::size_t limit_;
};

// The file every test fetches: 200 KiB of a repeating pattern that shows any misplaced byte.
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return text;
}

class CurlHttpRequestIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        site.WriteText("packages/P/K/V/data.bin", content);
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .nodes = 1});
    }
    std::string Url(const std::string& path = "/packages/P/K/V/data.bin") const {
        return "http://" + service->NodeHost(0) + path;
    }

    const std::string content = Pattern(200 * 1024);
    test::ScratchFolder scratch;
    test::SiteWriter site{scratch / "site"};
    std::unique_ptr<test::LocalDeliveryService> service;
};

TEST_F(CurlHttpRequestIntegration, RangedAndWholeGetsDeliverExactlyTheAskedBytes) {
    const struct {
        std::uint64_t start, end;
        const char* rangeHeader;
        std::size_t from, length;
    } cases[] = {
        {0, HttpRangeToEnd, "", 0, content.size()},
        {100, 199, "bytes=100-199", 100, 100},
        {0, 0, "bytes=0-0", 0, 1},
        {1000, HttpRangeToEnd, "bytes=1000-", 1000, content.size() - 1000},
        {content.size() - 10, content.size() + 500, nullptr, content.size() - 10, 10},
    };
    for (const auto& c : cases) {
        service->ClearRecords();
        std::stringstream body;
        HttpStringstreamWriter writer(&body);
        HttpRequestParams params(Url(), &writer);
        params.rangeStart = c.start;
        params.rangeEnd = c.end;
        CurlHttpRequest request(params, "");
        const HttpRequestStatus status = request.Perform();
        SCOPED_TRACE(std::to_string(c.start) + "-" + std::to_string(c.end));
        EXPECT_EQ(status.result, R::Success) << status.errorMessage;
        EXPECT_EQ(status.responseCode, c.start == 0 && c.end == HttpRangeToEnd ? 200 : 206);
        EXPECT_EQ(status.ip, "127.0.0.1");
        EXPECT_EQ(status.errorMessage, "");
        EXPECT_EQ(status.bytesWritten, c.length);
        EXPECT_TRUE(body.str() == content.substr(c.from, c.length));
        const auto served = service->Records().RequestsTo("node0");
        ASSERT_EQ(served.size(), 1u);
        if (c.rangeHeader != nullptr) {
            EXPECT_EQ(served[0].range, c.rangeHeader);
        }
        EXPECT_EQ(served[0].userAgent, "Vantrel Halcyne TransferService 0.9");
        EXPECT_EQ(served[0].method, "GET");
    }
}

TEST_F(CurlHttpRequestIntegration, ReArmedRequestReusesItsConnection) {
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params(Url(), &writer);
    params.rangeStart = 0;
    params.rangeEnd = 99;
    CurlHttpRequest request(params, "");
    ASSERT_EQ(request.Perform().result, R::Success);
    for (std::uint64_t start : {100u, 5000u, 9000u}) {
        params.rangeStart = start;
        params.rangeEnd = start + 99;
        ASSERT_TRUE(request.Reset(params, ""));
        ASSERT_EQ(request.Perform().result, R::Success);
    }
    // A second request object has a handle of its own, so a connection of its own.
    CurlHttpRequest other(params, "");
    ASSERT_EQ(other.Perform().result, R::Success);

    const auto records = service->Records();
    const auto served = records.RequestsTo("node0");
    ASSERT_EQ(served.size(), 5u);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(served[i].connection, served[0].connection);
    }
    EXPECT_NE(served[4].connection, served[0].connection);
    EXPECT_EQ(records.Counts("node0").connections, 2u);
    EXPECT_EQ(records.Counts("node0").requests, 5u);
    EXPECT_EQ(body.str().size(), 500u);
}

TEST_F(CurlHttpRequestIntegration, ServerFaultsEndInTheirResults) {
    const struct {
        const char* name;
        DeliveryFault fault;
        std::string path;
        R expected;
        const char* message;  // "" for no check
    } cases[] = {
        {"missing file", {}, "/packages/P/K/V/none.bin", R::ClientError, "libcurl error 22 (HTTP 404)"},
        {"503", {.server = "node0", .status = 503}, "", R::ServerError, "libcurl error 22 (HTTP 503)"},
        {"403", {.server = "node0", .status = 403}, "", R::ClientError, "libcurl error 22 (HTTP 403)"},
        {"refused", {.server = "node0", .refuse = true}, "", R::ConnectFailed, "libcurl error 7 (HTTP 0)"},
        {"stops short", {.server = "node0", .shortBy = 10}, "", R::OutOfRange, "libcurl error 18 (HTTP 206)"},
        {"stalls",
         {.server = "node0", .stall = true, .stallAfter = 100},
         "",
         R::TimedOut,
         "libcurl error 28"},
        {"ignores range", {.server = "node0", .ignoreRange = true}, "", R::OutOfRange, ""},
        {"one redirect",
         {.server = "node0", .path = "/one", .redirect = "/packages/P/K/V/data.bin"},
         "/one",
         R::Success,
         ""},
        {"reset", {.server = "node0", .reset = true}, "", R::TransmissionFailed, "libcurl error 56 (HTTP 0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->ClearFaults();
        if (c.fault.server == "node0") {
            service->AddFault(c.fault);
        }
        BoundedWriter writer(1000);
        HttpRequestParams params(Url(c.path.empty() ? "/packages/P/K/V/data.bin" : c.path), &writer);
        params.rangeStart = 1000;
        params.rangeEnd = 1999;
        params.connectTimeout = 2;
        params.timeout = 1;
        CurlHttpRequest request(params, "");
        const HttpRequestStatus status = request.Perform();
        EXPECT_EQ(status.result, c.expected) << ToString(status.result) << " " << status.errorMessage;
        if (std::strlen(c.message) > 0) {
            EXPECT_EQ(status.errorMessage.rfind(c.message, 0), 0u) << status.errorMessage;
        }
        if (c.expected == R::Success) {
            EXPECT_TRUE(writer.bytes == content.substr(1000, 1000));
        } else if (c.fault.ignoreRange) {
            // The whole file's first bytes must not land where byte 1000 belongs.
            EXPECT_EQ(status.bytesWritten, 0u);
            EXPECT_EQ(writer.bytes, "");
            EXPECT_EQ(status.responseCode, 200);
        }
    }
}

TEST_F(CurlHttpRequestIntegration, SecondRedirectIsNotFollowed) {
    service->AddFault({.server = "node0", .path = "/a", .redirect = "/b"});
    service->AddFault({.server = "node0", .path = "/b", .redirect = "/packages/P/K/V/data.bin"});
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    CurlHttpRequest request(HttpRequestParams(Url("/a"), &writer), "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, R::OtherError);
    EXPECT_EQ(status.errorMessage, "libcurl error 47 (HTTP 302)");
    EXPECT_EQ(body.str(), "");
    EXPECT_EQ(service->Records().RequestsTo("node0").size(), 2u);
}

TEST_F(CurlHttpRequestIntegration, ExtraBytesPastTheRangeStopAtTheWriter) {
    service->AddFault({.server = "node0", .extra = 1});
    BoundedWriter writer(100);
    HttpRequestParams params(Url(), &writer);
    params.rangeStart = 0;
    params.rangeEnd = 99;
    CurlHttpRequest request(params, "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, R::OutOfRange);
    EXPECT_EQ(status.errorMessage, "past the chunk");
    // Blocks before the end are taken; the block that crosses it is not taken at all.
    EXPECT_EQ(status.bytesWritten, writer.bytes.size());
    EXPECT_TRUE(writer.bytes == content.substr(0, writer.bytes.size()));
}

TEST_F(CurlHttpRequestIntegration, WriterThatTakesTooLittleFailsTheRequestWithItsMessage) {
    class Stingy : public HttpWriteCallback {
    public:
        HttpRequestStatus Write(const char*, std::size_t length) override {
            HttpRequestStatus s = HttpRequestStatus::Written(length / 2);
            s.errorMessage = "disk full";
            return s;
        }
    } writer;
    CurlHttpRequest request(HttpRequestParams(Url(), &writer), "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, R::WriteFailed);
    EXPECT_EQ(status.errorMessage, "disk full");
    EXPECT_GT(status.bytesWritten, 0u);
    EXPECT_LT(status.bytesWritten, content.size());
}

TEST_F(CurlHttpRequestIntegration, CancelAndResetWhilePerformRuns) {
    // The node sends 1000 bytes and then nothing: the perform blocks until cancelled.
    service->AddFault({.server = "node0", .stall = true, .stallAfter = 1000});
    class Signalling : public HttpWriteCallback {
    public:
        HttpRequestStatus Write(const char*, std::size_t length) override {
            if (!arrived.exchange(true)) {
                first.set_value();
            }
            return HttpRequestStatus::Written(length);
        }
        std::atomic<bool> arrived{false};
        std::promise<void> first;
    } writer;
    HttpRequestParams params(Url(), &writer);
    CurlHttpRequest request(params, "");
    auto performed = std::async(std::launch::async, [&] { return request.Perform(); });
    writer.first.get_future().wait();
    EXPECT_EQ(request.GetStatus().result, R::InProgress);
    EXPECT_FALSE(request.Reset(params, ""));
    EXPECT_EQ(request.GetStatus().result, R::InProgress);  // untouched
    request.Cancel();
    // Cancelled at once, but Reset waits until the perform has returned.
    EXPECT_EQ(request.GetStatus().result, R::Cancelled);
    const HttpRequestStatus status = performed.get();
    EXPECT_EQ(status.result, R::Cancelled);
    EXPECT_EQ(status.errorMessage, "");
    EXPECT_EQ(status.bytesWritten, 1000u);
    EXPECT_EQ(status.responseCode, 200);
    ASSERT_TRUE(request.Reset(params, ""));
    const HttpRequestStatus reset = request.GetStatus();
    EXPECT_EQ(reset.result, R::NotStarted);
    EXPECT_EQ(reset.bytesWritten, 0u);
    EXPECT_EQ(reset.responseCode, 0);
    EXPECT_EQ(reset.ip, "");
}

TEST_F(CurlHttpRequestIntegration, FinishedRequestIsNotPerformedAgain) {
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    CurlHttpRequest request(HttpRequestParams(Url(), &writer), "");
    const HttpRequestStatus first = request.Perform();
    ASSERT_EQ(first.result, R::Success);
    request.Cancel();
    const HttpRequestStatus again = request.Perform();
    EXPECT_EQ(again.result, R::Success);
    EXPECT_EQ(again.bytesWritten, first.bytesWritten);
    EXPECT_EQ(service->Records().Counts("node0").requests, 1u);
}

TEST_F(CurlHttpRequestIntegration, LowSpeedLimitNeedsBothValues) {
    // 1000 bytes at 500 bytes per second: below a limit of 2000 B/s for a second, fine without a time.
    service->AddFault({.server = "node0", .rate = 500});
    const struct {
        int limit, time;
        R expected;
    } cases[] = {{2000, 1, R::TimedOut}, {2000, 0, R::Success}};
    for (const auto& c : cases) {
        std::stringstream body;
        HttpStringstreamWriter writer(&body);
        HttpRequestParams params(Url(), &writer);
        params.rangeEnd = 999;
        params.lowSpeedLimit = c.limit;
        params.lowSpeedTime = c.time;
        CurlHttpRequest request(params, "");
        const HttpRequestStatus status = request.Perform();
        EXPECT_EQ(status.result, c.expected) << c.limit << " " << c.time << " " << status.errorMessage;
    }
}

TEST_F(CurlHttpRequestIntegration, PostSendsBodyAndContentType) {
    std::stringstream answer;
    HttpStringstreamWriter writer(&answer);
    HttpRequestParams params(service->EventsUrl(), &writer);
    params.method = HttpMethod::Post;
    params.contentType = "application/json";
    params.body = "{\"pid\":\"P\"}\n";
    CurlHttpRequest request(params, "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, R::Success) << status.errorMessage;
    EXPECT_EQ(status.responseCode, 200);
    const auto posts = service->Records().PostsTo("events");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].body, "{\"pid\":\"P\"}\n");
    EXPECT_EQ(posts[0].contentType, "application/json");
    EXPECT_EQ(posts[0].path, "/");
    EXPECT_EQ(posts[0].userAgent, "Vantrel Halcyne TransferService 0.9");
}

}  // namespace
}  // namespace halcyne

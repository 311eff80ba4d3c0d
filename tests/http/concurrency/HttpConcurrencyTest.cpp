#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/CurlHttpRequest.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "http/PooledHttpRequestWrapper.hpp"
#include "http/RoundRobinHttpRequestPool.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"

namespace halcyne {
namespace {

// A listening socket that never accepts: the kernel completes the connection, and a request sent there
// waits for an answer until it is cancelled.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(HttpConcurrencyTest, CancelFromAnotherThreadStopsABlockedPerform) {
    SilentServer server;
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params(server.Url(), &writer);
    CurlHttpRequest request(params, "");
    std::atomic<bool> done{false};
    std::thread performer([&] {
        const HttpRequestStatus status = request.Perform();
        EXPECT_EQ(status.result, HttpRequestResult::Cancelled);
        EXPECT_EQ(status.errorMessage, "");
        done = true;
    });
    // Watchers read the status while the perform runs.
    std::vector<std::thread> watchers;
    for (int i = 0; i < 3; ++i) {
        watchers.emplace_back([&] {
            while (!done) {
                const HttpRequestResult result = request.GetStatus().result;
                EXPECT_TRUE(result == HttpRequestResult::InProgress ||
                            result == HttpRequestResult::Cancelled ||
                            result == HttpRequestResult::NotStarted);
                std::this_thread::yield();
            }
        });
    }
    while (request.GetStatus().result != HttpRequestResult::InProgress) {
        std::this_thread::yield();
    }
    request.Cancel();
    performer.join();
    for (auto& w : watchers) {
        w.join();
    }
    EXPECT_TRUE(request.Reset(params, ""));
}

// A request that is safe to use from several threads and counts how often it is handed out at once.
class CountingRequest : public HttpRequest {
public:
    HttpRequestStatus Perform() override {
        EXPECT_EQ(users.fetch_add(1), 0) << "one request handed out twice at once";
        std::this_thread::yield();
        users.fetch_sub(1);
        return {};
    }
    HttpRequestStatus GetStatus() const override { return {}; }
    void Cancel() override {}
    bool Reset(const HttpRequestParams&, const std::string&) override { return true; }
    std::atomic<int> users{0};
};

class CountingFactory : public HttpRequestFactory {
public:
    using HttpRequestFactory::HttpRequestFactory;
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams&, const std::string&) override {
        ++created;
        return std::make_shared<CountingRequest>();
    }
    std::atomic<int> created{0};
};

TEST(HttpConcurrencyTest, SessionPoolNeverHandsOneRequestToTwoHolders) {
    EmptyHttpProxyFactory proxies;
    CountingFactory factory(&proxies);
    RoundRobinHttpSessionFactory sessions;
    const auto session = sessions.CreateSession();
    constexpr int Threads = 6;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                const auto request = factory.CreateRequest(HttpRequestParams("http://a/", nullptr), session);
                request->Perform();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    auto* pool = dynamic_cast<RoundRobinHttpRequestPool*>(session->GetPool().get());
    ASSERT_NE(pool, nullptr);
    EXPECT_LE(factory.created.load(), Threads);  // grows only to the most requests in use at once
    EXPECT_EQ(pool->MemberCount(), static_cast<std::size_t>(factory.created.load()));
    EXPECT_EQ(pool->IdleCount(), pool->MemberCount());
}

}  // namespace
}  // namespace halcyne

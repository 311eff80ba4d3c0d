#include <atomic>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "http/HttpRequestFactory.hpp"
#include "http/PooledHttpRequestWrapper.hpp"
#include "http/RoundRobinHttpRequestPool.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"

namespace halcyne {
namespace {

// A request that records how it is re-armed and can pretend its perform is still running.
class FakeRequest : public HttpRequest {
public:
    FakeRequest(const HttpRequestParams& params, std::string proxy) : HttpRequest(params, std::move(proxy)) {}
    HttpRequestStatus Perform() override { return {}; }
    HttpRequestStatus GetStatus() const override { return {}; }
    void Cancel() override {}
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override {
        if (busy) {
            return false;
        }
        ++resets;
        lastUrl = params.url;
        proxy_ = proxy;
        return true;
    }
    const std::string& Proxy() const { return proxy_; }

    bool busy = false;
    int resets = 0;
    std::string lastUrl;
};

class CountingProxy : public HttpProxy {
public:
    std::string GetProxy(const HttpRequestParams& params) override { return "proxy-for-" + params.url; }
};

class CountingProxyFactory : public HttpProxyFactory {
public:
    std::shared_ptr<HttpProxy> Create() override {
        ++created;
        return std::make_shared<CountingProxy>();
    }
    std::atomic<int> created{0};
};

class FakeRequestFactory : public HttpRequestFactory {
public:
    using HttpRequestFactory::HttpRequestFactory;
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override {
        ++created;
        return std::make_shared<FakeRequest>(params, proxy);
    }
    int created = 0;
};

FakeRequest& Underlying(const std::shared_ptr<HttpRequest>& request) {
    auto* wrapper = dynamic_cast<PooledHttpRequestWrapper*>(request.get());
    EXPECT_NE(wrapper, nullptr);
    return dynamic_cast<FakeRequest&>(*wrapper->Wrapped());
}

struct PoolFixture : ::testing::Test {
    HttpRequestParams Params(const std::string& url) { return HttpRequestParams(url, nullptr); }
    CountingProxyFactory proxies;
    FakeRequestFactory factory{&proxies};
    RoundRobinHttpSessionFactory sessions;
};

TEST_F(PoolFixture, SessionReArmsTheSameRequestOnceItsWrapperIsGone) {
    const auto session = sessions.CreateSession();
    FakeRequest* first = nullptr;
    {
        const auto request = factory.CreateRequest(Params("http://a/1"), session);
        first = &Underlying(request);
        EXPECT_EQ(first->Proxy(), "proxy-for-http://a/1");
        EXPECT_EQ(first->resets, 0);
    }
    const auto again = factory.CreateRequest(Params("http://a/2"), session);
    EXPECT_EQ(&Underlying(again), first);
    EXPECT_EQ(first->resets, 1);
    EXPECT_EQ(first->lastUrl, "http://a/2");
    EXPECT_EQ(first->Proxy(), "proxy-for-http://a/2");
    EXPECT_EQ(factory.created, 1);
}

TEST_F(PoolFixture, RequestsInUseAtOnceAreDistinctAndReturnOldestIdleFirst) {
    const auto session = sessions.CreateSession();
    auto a = factory.CreateRequest(Params("http://a/"), session);
    auto b = factory.CreateRequest(Params("http://b/"), session);
    auto c = factory.CreateRequest(Params("http://c/"), session);
    FakeRequest* ra = &Underlying(a);
    FakeRequest* rb = &Underlying(b);
    FakeRequest* rc = &Underlying(c);
    EXPECT_NE(ra, rb);
    EXPECT_NE(rb, rc);
    EXPECT_EQ(factory.created, 3);
    // Freed in the order b, c, a: reused in that order.
    b.reset();
    c.reset();
    a.reset();
    std::vector<std::shared_ptr<HttpRequest>> held;
    std::vector<FakeRequest*> order;
    for (int i = 0; i < 4; ++i) {
        held.push_back(factory.CreateRequest(Params("http://x/"), session));
        order.push_back(&Underlying(held.back()));
    }
    EXPECT_EQ(order[0], rb);
    EXPECT_EQ(order[1], rc);
    EXPECT_EQ(order[2], ra);
    EXPECT_EQ(factory.created, 4);  // the fourth had to be made
    auto* pool = dynamic_cast<RoundRobinHttpRequestPool*>(session->GetPool().get());
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->MemberCount(), 4u);
    EXPECT_EQ(pool->IdleCount(), 0u);
}

TEST_F(PoolFixture, BusyRequestAtTheHeadIsDroppedAndReplaced) {
    const auto session = sessions.CreateSession();
    FakeRequest* busy = nullptr;
    std::shared_ptr<HttpRequest> keepAlive;
    {
        const auto request = factory.CreateRequest(Params("http://a/"), session);
        busy = &Underlying(request);
        keepAlive = dynamic_cast<PooledHttpRequestWrapper&>(*request).Wrapped();
        busy->busy = true;  // its perform is still running when the wrapper goes
    }
    auto* pool = dynamic_cast<RoundRobinHttpRequestPool*>(session->GetPool().get());
    EXPECT_EQ(pool->IdleCount(), 1u);
    const auto next = factory.CreateRequest(Params("http://b/"), session);
    EXPECT_NE(&Underlying(next), busy);
    EXPECT_EQ(factory.created, 2);
    EXPECT_EQ(pool->MemberCount(), 1u);  // the busy one left the pool for good
    // Releasing a request that is no longer a member is ignored.
    pool->Release(keepAlive);
    EXPECT_EQ(pool->IdleCount(), 0u);
}

TEST_F(PoolFixture, ReleasingTwiceQueuesOnceAndAddingTwiceChangesNothing) {
    RoundRobinHttpRequestPool pool;
    const auto request = std::make_shared<FakeRequest>(Params("http://a/"), "");
    pool.Add(request, false);
    EXPECT_EQ(pool.IdleCount(), 0u);
    pool.Release(request);
    pool.Release(request);
    EXPECT_EQ(pool.IdleCount(), 1u);
    pool.Add(request, true);
    EXPECT_EQ(pool.IdleCount(), 1u);
    EXPECT_EQ(pool.MemberCount(), 1u);
    EXPECT_EQ(pool.Acquire(Params("http://b/"), ""), request);
    EXPECT_EQ(pool.Acquire(Params("http://c/"), ""), nullptr);
}

TEST_F(PoolFixture, SessionMakesItsProxyOnceAndRequestsWithoutOneMakeItEveryTime) {
    const auto session = sessions.CreateSession();
    for (int i = 0; i < 3; ++i) {
        factory.CreateRequest(Params("http://a/"), session);
    }
    EXPECT_EQ(proxies.created, 1);
    for (int i = 0; i < 3; ++i) {
        const auto request = factory.CreateRequest(Params("http://a/"));
        EXPECT_EQ(dynamic_cast<PooledHttpRequestWrapper*>(request.get()), nullptr);
    }
    EXPECT_EQ(proxies.created, 4);
    // A null session takes the unpooled road too.
    factory.CreateRequest(Params("http://a/"), nullptr);
    EXPECT_EQ(proxies.created, 5);
}

TEST_F(PoolFixture, FailureAtEachStepOfCreatingARequestLeavesThePoolUsable) {
    // Step 0: the proxy cannot handle the URL; step 1: no request object can be made.
    class ThrowingProxy : public HttpProxy {
    public:
        std::string GetProxy(const HttpRequestParams& params) override {
            if (params.url == "http://bad/") {
                throw std::invalid_argument("bad URL");
            }
            return "";
        }
    };
    class Proxies : public HttpProxyFactory {
    public:
        std::shared_ptr<HttpProxy> Create() override { return std::make_shared<ThrowingProxy>(); }
    } proxies;
    class Failing : public FakeRequestFactory {
    public:
        using FakeRequestFactory::FakeRequestFactory;
        std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params,
                                            const std::string& proxy) override {
            if (failNext) {
                failNext = false;
                throw std::runtime_error("curl_easy_init failed");
            }
            return FakeRequestFactory::Create(params, proxy);
        }
        bool failNext = false;
    } failing(&proxies);
    const auto session = sessions.CreateSession();
    auto* pool = dynamic_cast<RoundRobinHttpRequestPool*>(session->GetPool().get());
    const auto held = failing.CreateRequest(Params("http://a/"), session);  // one in use throughout

    EXPECT_THROW(failing.CreateRequest(Params("http://bad/"), session), std::invalid_argument);
    failing.failNext = true;
    EXPECT_THROW(failing.CreateRequest(Params("http://a/"), session), std::runtime_error);
    EXPECT_EQ(pool->MemberCount(), 1u);
    EXPECT_EQ(pool->IdleCount(), 0u);

    // The pool still works: a new request is made and, once given back, reused.
    FakeRequest* second = nullptr;
    {
        const auto request = failing.CreateRequest(Params("http://a/"), session);
        second = &Underlying(request);
    }
    EXPECT_EQ(&Underlying(failing.CreateRequest(Params("http://b/"), session)), second);
    EXPECT_EQ(pool->MemberCount(), 2u);
}

}  // namespace
}  // namespace halcyne

// Content nodes without a network, for the chunk works' tests: an HttpRequestFactory whose requests answer
// ranged GETs from contents held in memory, with faults scripted per host (wrong bytes, bytes forged to keep
// their CRC-32, extra bytes, a failure result, a request that hangs until it is cancelled). Requests are
// performed on work-manager threads; the test scripts and reads the records from its own thread. All state is
// under one lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/HttpProxy.hpp"
#include "http/HttpRequestFactory.hpp"

namespace halcyne::test {

class ScriptedNodes : public HttpRequestFactory {
public:
    enum class Fault {
        Wrong,  // every byte inverted
        Forge,  // every byte but the last four inverted, those four set so that the CRC-32 stays the same
        Extra,  // the range and `extra` bytes more, in one block
        Fail,   // no body; ends with `result`
        Hang,   // no body; waits until cancelled
    };
    struct Served {
        std::string host;
        std::string path;
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        HttpRequestResult result = HttpRequestResult::NotStarted;
    };

    ScriptedNodes();
    ~ScriptedNodes() override;

    // The bytes every node serves at this URL path.
    void Serve(const std::string& path, std::string content);
    // A fault for the next `count` requests to `host` (0: every request until cleared). Faults of a host
    // apply in the order added.
    void AddFault(const std::string& host, Fault fault, int count = 0,
                  HttpRequestResult result = HttpRequestResult::ServerError, std::uint64_t extra = 16);
    void ClearFaults();
    // Every request performed, in the order they ended (hanging ones when they end).
    std::vector<Served> Requests() const;
    // Waits (at most 10 s) until `count` requests hang at once; false on time-out.
    bool WaitHanging(int count) const;
    // Called after every block of a body handed to a writer, on the request's thread, outside the lock.
    void AfterEachBlock(std::function<void()> hook);

    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override;

private:
    class Request;
    struct Script {
        Fault fault;
        int remaining;  // 0: unlimited
        HttpRequestResult result;
        std::uint64_t extra;
    };
    HttpRequestStatus Answer(Request& request, const HttpRequestParams& params);

    EmptyHttpProxyFactory proxies_;
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::map<std::string, std::string> contents_;
    std::map<std::string, std::deque<Script>> faults_;
    std::vector<Served> served_;
    int hanging_ = 0;
    std::function<void()> afterEachBlock_;
};

}  // namespace halcyne::test

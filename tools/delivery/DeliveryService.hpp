// The local delivery service: a manifest service, content nodes and two analytics endpoints on 127.0.0.1,
// with faults that a control endpoint switches at run time and records of everything served.
// One thread accepts connections for every server (asio); each connection is then served by a thread of its
// own with blocking I/O, so that stalls and slow answers are plain sleeps. The shared state (faults, records,
// counters) is guarded by one mutex that is never held while doing I/O.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <nlohmann/json.hpp>

namespace halcyne::delivery {

// What a server does when a request matches. Fields at their defaults do nothing.
struct Fault {
    std::string server;    // "manifest", "node<i>", "events", "transfers"; "" or "*": all of them
    std::string path;      // path prefix the request's path must start with; "" matches every path
    int status = 0;        // answer with this HTTP status (and a short text body)
    std::string redirect;  // answer 302 with this Location
    bool refuse = false;   // the server stops listening: connections are refused until cleared
    bool reset = false;    // reset the connection instead of answering
    bool stall = false;    // stop sending, after stallAfter body bytes (-1: before the answer's head)
    std::int64_t stallAfter = -1;
    std::int64_t stallMs = 0;  // how long to stall; 0: until the client gives up
    std::int64_t rate = 0;     // send the body at this many bytes per second
    std::int64_t shortBy = 0;  // announce the full length, send this many bytes fewer, then close
    std::int64_t extra = 0;    // send this many bytes more than the range asked for (and announce them)
    bool wrong = false;        // send wrong bytes (every byte inverted)
    bool forge = false;        // send forged bytes that keep the CRC-32 of the body (see Crc32Forgery.hpp)
    bool ignoreRange = false;  // answer a ranged GET with 200 and the whole file
    int count = 0;             // apply to this many requests, then drop the fault; 0: until cleared
    bool unsized = false;      // send no Content-Length: the body ends when the connection closes

    static Fault FromJson(const nlohmann::json& json);
    nlohmann::json ToJson() const;
};

struct Options {
    std::string site;     // folder served by the manifest service
    std::string content;  // folder served by the content nodes
    std::string host = "127.0.0.1";
    int manifestPort = 0;
    std::vector<int> nodePorts;  // one entry per node (0: any free port)
    int eventsPort = 0;
    int transfersPort = 0;
    int controlPort = 0;
    bool verbose = true;  // one line per request on standard error
};

class Service {
public:
    explicit Service(Options options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds every server; throws std::runtime_error when a port cannot be bound.
    void Start();
    // The ports in use, as the first line of standard output shows them.
    nlohmann::json Ports() const;
    // Runs the accept loop until Stop (or a signal).
    void Run();
    void Stop();

    void AddFault(const Fault& fault);
    void ClearFaults();
    nlohmann::json Records() const;
    void ClearRecords();

private:
    enum class Kind { Files, Analytics, Control };
    struct Server;
    struct Connection;

    void Accept(Server& server);
    void Listen(Server& server);
    void Serve(Server& server, std::shared_ptr<boost::asio::ip::tcp::socket> socket, std::uint64_t id);
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    // finish(status, body bytes sent, complete) records the exchange; answer(status, body, fields) sends a
    // short answer and records it. Each returns whether the connection can serve another request.
    using Finish = std::function<void(int, std::uint64_t, bool)>;
    using Answer = std::function<bool(int, const std::string&, std::vector<std::string>)>;
    bool Handle(Connection& connection, Request& request, bool keepAlive);
    bool SendFile(Connection& connection, const std::string& file, Request& request, bool keepAlive,
                  const Fault* fault, const Finish& finish, const Answer& answer);
    bool HandleControl(Request& request, const Answer& answer);
    // Takes the first fault that matches (counting it down); nullptr when none does.
    std::unique_ptr<Fault> TakeFault(const std::string& server, const std::string& path);
    void UpdateListening();
    // Adds a request's record; the caller completes it (under the lock) when the answer ends.
    std::shared_ptr<nlohmann::json> Record(nlohmann::json entry);
    void RecordPost(nlohmann::json entry);
    void Log(const std::string& line) const;

    Options options_;
    boost::asio::io_context io_;
    std::vector<std::unique_ptr<Server>> servers_;

    bool started_ = false;              // Start has bound the servers
    std::atomic<bool> running_{false};  // Run has started the accept thread
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> generation_{0};  // counts ClearFaults calls: a stall ends when it changes

    mutable std::mutex mutex_;  // guards faults_, requests_, posts_, liveSockets_, liveConnections_ and the
                                // counters of every Server
    mutable std::condition_variable idle_;  // signalled when a connection or an answer ends
    std::uint64_t answering_ = 0;           // requests being answered (not stalled)
    std::vector<Fault> faults_;
    std::set<boost::asio::ip::tcp::socket*> liveSockets_;
    std::uint64_t liveConnections_ = 0;
    std::vector<std::shared_ptr<nlohmann::json>> requests_;
    nlohmann::json posts_ = nlohmann::json::array();
};

}  // namespace halcyne::delivery

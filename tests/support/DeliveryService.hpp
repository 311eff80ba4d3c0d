// A local delivery service for tests: starts the halcyne-delivery program on 127.0.0.1 ports it picks,
// switches its faults and reads back what it served. Callable from any thread: every call but the
// accessors is one blocking HTTP exchange of its own with the program's control endpoint.
//
//     SiteWriter site(scratch / "site");
//     site.PublishPackage(package);
//     LocalDeliveryService service({.site = site.Folder(), .nodes = 2});
//     site.PublishNodeList("P", service.Nodes());
//     service.AddFault({.server = "node0", .status = 503, .count = 1});
//     ... run the engine against service.ManifestHost() ...
//     EXPECT_EQ(service.Records().Counts("node1").connections, 1u);
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace halcyne::test {

struct SiteNode;

// What a server does when a request matches (the program's --help describes each field). Fields at their
// defaults do nothing; the first fault that matches a request applies.
struct DeliveryFault {
    std::string server{};    // "manifest", "node<i>", "events", "transfers"; "" for every server
    std::string path{};      // path prefix; "" for every path
    int status = 0;          // answer with this HTTP status
    std::string redirect{};  // answer 302 with this Location
    bool refuse = false;     // stop listening until the faults are cleared (connections refused)
    bool reset = false;      // reset the connection instead of answering
    bool stall = false;      // send nothing more after stallAfter body bytes (-1: before the head) ...
    std::int64_t stallAfter = -1;
    std::int64_t stallMs = 0;  // ... for this long (0: until the client leaves or faults are cleared)
    std::int64_t rate = 0;     // body bytes per second
    std::int64_t shortBy = 0;  // send this many bytes fewer than announced, then close
    std::int64_t extra = 0;    // send this many bytes more than the range asked for
    bool wrong = false;        // invert every byte of the body
    bool forge = false;        // forge the body so that its CRC-32 stays the same
    bool ignoreRange = false;  // answer a ranged GET with 200 and the whole file
    int count = 0;             // apply to this many requests only (0: until cleared)
    bool unsized = false;      // no Content-Length: the body ends when the connection closes

    std::string ToJson() const;
};

// One request a server answered (or cut off), in the order they ended.
struct DeliveryRequest {
    std::string server{};
    std::uint64_t connection = 0;  // the server's connection number, from 1: equal numbers share a connection
    std::string method{};
    std::string path{};
    std::string range{};  // the Range header as sent ("" when none)
    std::string userAgent{};
    std::string via{};        // the Via header a proxy added ("" when none)
    int status = 0;           // 0 when no answer head was sent (reset, stall)
    std::uint64_t bytes = 0;  // body bytes sent
    bool complete = false;    // the answer was sent whole
    bool faulted = false;     // a fault applied
};

// One body posted to an analytics endpoint.
struct DeliveryPost {
    std::string server{};  // "events" or "transfers"
    std::string path{};
    std::string contentType{};
    std::string userAgent{};
    std::string body{};
    int answered = 0;  // the status it was answered with (0: reset or stalled)
};

struct DeliveryCounts {
    int port = 0;
    std::uint64_t connections = 0;  // connections accepted
    std::uint64_t requests = 0;     // requests read
    std::uint64_t bytes = 0;        // body bytes sent
};

struct DeliveryRecords {
    std::vector<DeliveryRequest> requests;
    std::vector<DeliveryPost> posts;
    std::map<std::string, DeliveryCounts> servers;

    std::vector<DeliveryRequest> RequestsTo(const std::string& server) const;
    std::vector<DeliveryPost> PostsTo(const std::string& server) const;
    // The counts of one server (all zero for an unknown name).
    DeliveryCounts Counts(const std::string& server) const;
};

class LocalDeliveryService {
public:
    struct Options {
        std::string site{};     // folder of the manifest service (required)
        std::string content{};  // folder of the content nodes; "" for the site folder
        int nodes = 1;
    };

    // Starts the program and waits (at most 10 s) for its ports; throws std::runtime_error on failure.
    explicit LocalDeliveryService(Options options);
    // Stops the program (SIGTERM, then SIGKILL after 5 s).
    ~LocalDeliveryService();
    LocalDeliveryService(const LocalDeliveryService&) = delete;
    LocalDeliveryService& operator=(const LocalDeliveryService&) = delete;

    int ManifestPort() const { return manifestPort_; }
    std::string ManifestHost() const;  // "127.0.0.1:<port>", the engine's manifestHost
    int NodeCount() const { return static_cast<int>(nodePorts_.size()); }
    int NodePort(int index) const { return nodePorts_.at(static_cast<std::size_t>(index)); }
    std::string NodeHost(int index) const;   // "127.0.0.1:<port>"
    static std::string NodeName(int index);  // "node<index>", the name faults and records use
    // The nodes as a node list names them: ids "node<i>", their hosts, path "/packages/", weight 1.
    std::vector<SiteNode> Nodes() const;
    std::string EventsUrl() const;                    // "http://127.0.0.1:<port>"
    std::string TransfersUrl() const;                 // "http://127.0.0.1:<port>"
    std::string LogPath() const { return logPath_; }  // one line per request the program served

    void AddFault(const DeliveryFault& fault);
    void ClearFaults();  // also ends every stall in progress and reopens refused servers
    DeliveryRecords Records() const;
    void ClearRecords();  // requests, posts and counters

private:
    void Stop();
    std::string Control(const std::string& method, const std::string& path,
                        const std::string& body = {}) const;

    std::string scratch_;
    std::string logPath_;
    pid_t pid_ = -1;
    int manifestPort_ = 0;
    std::vector<int> nodePorts_;
    int eventsPort_ = 0;
    int transfersPort_ = 0;
    int controlPort_ = 0;
};

// The halcyne-delivery program of this build.
std::string DeliveryProgram();

}  // namespace halcyne::test

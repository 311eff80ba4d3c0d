#include "support/DeliveryService.hpp"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <curl/curl.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

extern char** environ;

namespace halcyne::test {

using json = nlohmann::json;

std::string DeliveryProgram() {
    return BinaryDir() + "/tools/halcyne-delivery";
}

std::string DeliveryFault::ToJson() const {
    json j = json::object();
    auto put = [&](const char* key, auto value, auto none) {
        if (value != none) {
            j[key] = value;
        }
    };
    put("server", server, std::string());
    put("path", path, std::string());
    put("status", status, 0);
    put("redirect", redirect, std::string());
    put("refuse", refuse, false);
    put("reset", reset, false);
    put("stall", stall, false);
    put("stallAfter", stallAfter, std::int64_t{-1});
    put("stallMs", stallMs, std::int64_t{0});
    put("rate", rate, std::int64_t{0});
    put("short", shortBy, std::int64_t{0});
    put("extra", extra, std::int64_t{0});
    put("wrong", wrong, false);
    put("forge", forge, false);
    put("ignoreRange", ignoreRange, false);
    put("count", count, 0);
    put("unsized", unsized, false);
    return j.dump();
}

std::vector<DeliveryRequest> DeliveryRecords::RequestsTo(const std::string& server) const {
    std::vector<DeliveryRequest> found;
    for (const auto& r : requests) {
        if (r.server == server) {
            found.push_back(r);
        }
    }
    return found;
}

std::vector<DeliveryPost> DeliveryRecords::PostsTo(const std::string& server) const {
    std::vector<DeliveryPost> found;
    for (const auto& p : posts) {
        if (p.server == server) {
            found.push_back(p);
        }
    }
    return found;
}

DeliveryCounts DeliveryRecords::Counts(const std::string& server) const {
    const auto it = servers.find(server);
    return it == servers.end() ? DeliveryCounts() : it->second;
}

LocalDeliveryService::LocalDeliveryService(Options options) {
    if (options.site.empty()) {
        throw std::invalid_argument("LocalDeliveryService needs a site folder");
    }
    // The program's log goes beside the site folder, so that a failing test can show it.
    logPath_ = options.site + ".delivery.log";
    std::vector<std::string> args{DeliveryProgram(), "--site", options.site, "--nodes",
                                  std::to_string(options.nodes)};
    if (!options.content.empty()) {
        args.insert(args.end(), {"--content", options.content});
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
    // The first line of its output names the ports.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buffer[512];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(out[0]);
    try {
        const json ports = json::parse(line.substr(0, line.find('\n')));
        manifestPort_ = ports.at("manifest").get<int>();
        nodePorts_ = ports.at("nodes").get<std::vector<int>>();
        eventsPort_ = ports.at("events").get<int>();
        transfersPort_ = ports.at("transfers").get<int>();
        controlPort_ = ports.at("control").get<int>();
    } catch (const std::exception&) {
        Stop();
        std::string log;
        try {
            log = ReadFileText(logPath_);
        } catch (const std::exception&) {
        }
        throw std::runtime_error("halcyne-delivery did not report its ports: " + line + log);
    }
}

LocalDeliveryService::~LocalDeliveryService() {
    Stop();
}

void LocalDeliveryService::Stop() {
    StopChildProcess(pid_);
}

std::string LocalDeliveryService::ManifestHost() const {
    return "127.0.0.1:" + std::to_string(manifestPort_);
}

std::string LocalDeliveryService::NodeHost(int index) const {
    return "127.0.0.1:" + std::to_string(NodePort(index));
}

std::string LocalDeliveryService::NodeName(int index) {
    return "node" + std::to_string(index);
}

std::vector<SiteNode> LocalDeliveryService::Nodes() const {
    std::vector<SiteNode> nodes;
    for (int i = 0; i < NodeCount(); ++i) {
        SiteNode node;
        node.nodeId = NodeName(i);
        node.host = NodeHost(i);
        nodes.push_back(node);
    }
    return nodes;
}

std::string LocalDeliveryService::EventsUrl() const {
    return "http://127.0.0.1:" + std::to_string(eventsPort_);
}

std::string LocalDeliveryService::TransfersUrl() const {
    return "http://127.0.0.1:" + std::to_string(transfersPort_);
}

namespace {

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

}  // namespace

std::string LocalDeliveryService::Control(const std::string& method, const std::string& path,
                                          const std::string& body) const {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
    std::string answer;
    const std::string url = "http://127.0.0.1:" + std::to_string(controlPort_) + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never through a proxy a test has set in the environment
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    if (method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK || status != 200) {
        throw std::runtime_error("delivery control " + method + " " + path +
                                 " failed: " + curl_easy_strerror(code) + ", HTTP " + std::to_string(status) +
                                 ": " + answer);
    }
    return answer;
}

void LocalDeliveryService::AddFault(const DeliveryFault& fault) {
    Control("POST", "/faults", fault.ToJson());
}

void LocalDeliveryService::ClearFaults() {
    Control("POST", "/faults/clear");
}

void LocalDeliveryService::ClearRecords() {
    Control("POST", "/records/clear");
}

DeliveryRecords LocalDeliveryService::Records() const {
    const json j = json::parse(Control("GET", "/records"));
    DeliveryRecords records;
    for (const json& r : j.at("requests")) {
        DeliveryRequest request;
        request.server = r.at("server").get<std::string>();
        request.connection = r.at("connection").get<std::uint64_t>();
        request.method = r.at("method").get<std::string>();
        request.path = r.at("path").get<std::string>();
        request.range = r.at("range").get<std::string>();
        request.userAgent = r.at("userAgent").get<std::string>();
        request.status = r.at("status").get<int>();
        request.bytes = r.at("bytes").get<std::uint64_t>();
        request.complete = r.at("complete").get<bool>();
        request.via = r.at("via").get<std::string>();
        request.faulted = !r.at("fault").is_null();
        records.requests.push_back(std::move(request));
    }
    for (const json& p : j.at("posts")) {
        DeliveryPost post;
        post.server = p.at("server").get<std::string>();
        post.path = p.at("path").get<std::string>();
        post.contentType = p.at("contentType").get<std::string>();
        post.userAgent = p.at("userAgent").get<std::string>();
        post.body = p.at("body").get<std::string>();
        post.answered = p.at("answered").get<int>();
        records.posts.push_back(std::move(post));
    }
    for (const auto& item : j.at("servers").items()) {
        DeliveryCounts counts;
        counts.port = item.value().at("port").get<int>();
        counts.connections = item.value().at("connections").get<std::uint64_t>();
        counts.requests = item.value().at("requests").get<std::uint64_t>();
        counts.bytes = item.value().at("bytes").get<std::uint64_t>();
        records.servers[item.key()] = counts;
    }
    return records;
}

}  // namespace halcyne::test

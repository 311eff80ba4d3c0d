#include "DeliveryService.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <iostream>
#include <stdexcept>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Crc32Forgery.hpp"

namespace halcyne::delivery {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// ---- faults ----

Fault Fault::FromJson(const json& j) {
    if (!j.is_object()) {
        throw std::invalid_argument("a fault is a JSON object");
    }
    static const char* const known[] = {"server", "path",       "status",      "redirect", "refuse", "reset",
                                        "stall",  "stallAfter", "stallMs",     "rate",     "short",  "extra",
                                        "wrong",  "forge",      "ignoreRange", "count",    "unsized"};
    for (const auto& item : j.items()) {
        if (std::find_if(std::begin(known), std::end(known),
                         [&](const char* k) { return item.key() == k; }) == std::end(known)) {
            throw std::invalid_argument("unknown fault field \"" + item.key() + "\"");
        }
    }
    Fault f;
    f.server = j.value("server", "");
    f.path = j.value("path", "");
    f.status = j.value("status", 0);
    f.redirect = j.value("redirect", "");
    f.refuse = j.value("refuse", false);
    f.reset = j.value("reset", false);
    f.stall = j.value("stall", false);
    f.stallAfter = j.value("stallAfter", std::int64_t{-1});
    f.stallMs = j.value("stallMs", std::int64_t{0});
    f.rate = j.value("rate", std::int64_t{0});
    f.shortBy = j.value("short", std::int64_t{0});
    f.extra = j.value("extra", std::int64_t{0});
    f.wrong = j.value("wrong", false);
    f.forge = j.value("forge", false);
    f.ignoreRange = j.value("ignoreRange", false);
    f.count = j.value("count", 0);
    f.unsized = j.value("unsized", false);
    if (f.status != 0 && (f.status < 100 || f.status > 999)) {
        throw std::invalid_argument("fault status must be an HTTP status code");
    }
    if (f.stallMs < 0 || f.rate < 0 || f.shortBy < 0 || f.extra < 0 || f.count < 0) {
        throw std::invalid_argument("fault sizes, times and counts cannot be negative");
    }
    return f;
}

json Fault::ToJson() const {
    return json{{"server", server},
                {"path", path},
                {"status", status},
                {"redirect", redirect},
                {"refuse", refuse},
                {"reset", reset},
                {"stall", stall},
                {"stallAfter", stallAfter},
                {"stallMs", stallMs},
                {"rate", rate},
                {"short", shortBy},
                {"extra", extra},
                {"wrong", wrong},
                {"forge", forge},
                {"ignoreRange", ignoreRange},
                {"count", count},
                {"unsized", unsized}};
}

namespace {

bool ServerMatches(const std::string& pattern, const std::string& server) {
    return pattern.empty() || pattern == "*" || pattern == server;
}

// ---- small HTTP helpers ----

std::string PercentDecode(const std::string& text, bool& ok) {
    std::string out;
    ok = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                ok = false;
                return {};
            }
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The file under root that a URL path names, or "" when it names none (or tries to leave root).
std::string ResolveFile(const std::string& root, const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    bool ok = false;
    const std::string decoded = PercentDecode(path, ok);
    if (!ok || decoded.empty() || decoded[0] != '/' || decoded.find('\0') != std::string::npos) {
        return {};
    }
    std::size_t start = 1;
    while (start <= decoded.size()) {
        const std::size_t end = std::min(decoded.find('/', start), decoded.size());
        if (decoded.compare(start, end - start, "..") == 0) {
            return {};
        }
        start = end + 1;
    }
    boost::system::error_code ec;
    const boost::filesystem::path file = boost::filesystem::canonical(root + decoded, ec);
    if (ec || !boost::filesystem::is_regular_file(file, ec)) {
        return {};
    }
    const std::string base = boost::filesystem::canonical(root, ec).string() + "/";
    if (ec || file.string().compare(0, base.size(), base) != 0) {
        return {};
    }
    return file.string();
}

// A parsed single byte range: [first, last] of a resource of `size` bytes.
struct ByteRange {
    bool present = false;     // a Range header we understand was sent
    bool satisfiable = true;  // false: answer 416
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

ByteRange ParseRange(const std::string& header, std::uint64_t size) {
    ByteRange range;
    if (header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos) {
        return range;  // not a single byte range: the whole resource is sent
    }
    const std::string ranges = header.substr(6);
    const std::size_t dash = ranges.find('-');
    if (dash == std::string::npos) {
        return range;
    }
    const std::string a = ranges.substr(0, dash);
    const std::string b = ranges.substr(dash + 1);
    auto number = [](const std::string& s, std::uint64_t& value) {
        if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 20) {
            return false;
        }
        errno = 0;
        value = std::strtoull(s.c_str(), nullptr, 10);
        return errno == 0;
    };
    range.present = true;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (a.empty()) {  // suffix: the last b bytes
        if (!number(b, last) || last == 0 || size == 0) {
            range.satisfiable = false;
            return range;
        }
        range.first = size - std::min(last, size);
        range.last = size - 1;
        return range;
    }
    if (!number(a, first) || (!b.empty() && !number(b, last)) || (!b.empty() && last < first)) {
        range.present = false;  // malformed: ignored, as HTTP says
        return range;
    }
    if (first >= size) {
        range.satisfiable = false;
        return range;
    }
    range.first = first;
    range.last = b.empty() ? size - 1 : std::min(last, size - 1);
    return range;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 416:
            return "Range Not Satisfiable";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Without a length (`sized` false) the body ends where the connection closes.
std::string Head(int status, std::uint64_t length, const std::vector<std::string>& fields, bool keepAlive,
                 bool sized = true) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    head += "Server: halcyne-delivery\r\n";
    for (const auto& f : fields) {
        head += f + "\r\n";
    }
    if (sized) {
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    return head;
}

std::string ContentType(const std::string& file) {
    const std::string ext = boost::filesystem::path(file).extension().string();
    if (ext == ".xml") {
        return "application/xml";
    }
    if (ext == ".json") {
        return "application/json";
    }
    return "application/octet-stream";
}

// The status a request that this fault applies to is answered with (0: none, the connection is cut).
int AnsweredStatus(const Fault* fault) {
    if (!fault) {
        return 200;
    }
    if (fault->reset || (fault->stall && fault->stallAfter < 0)) {
        return 0;
    }
    if (fault->status != 0) {
        return fault->status;
    }
    return fault->redirect.empty() ? 200 : 302;
}

}  // namespace

// ---- servers ----

struct Service::Server {
    std::string name;
    Kind kind = Kind::Files;
    std::string root;
    int port = 0;
    std::unique_ptr<tcp::acceptor> acceptor;  // touched only on the accept thread (or before Run)
    bool listening = false;                   // likewise
    // Counters, guarded by Service::mutex_.
    std::uint64_t connections = 0;
    std::uint64_t requests = 0;
    std::uint64_t bytes = 0;
};

// What one connection's thread needs; lives as long as that thread.
struct Service::Connection {
    Service& service;
    Server& server;
    tcp::socket& socket;
    std::uint64_t id;

    bool Send(const char* data, std::size_t size) {
        boost::system::error_code ec;
        asio::write(socket, asio::buffer(data, size), ec);
        return !ec;
    }
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }

    // Holds the connection without sending until the client leaves, `ms` milliseconds pass (0: no limit
    // but ten minutes), the faults are cleared or the service stops.
    // While a request is being answered the records wait for it (up to 2 s), so that a client that has read
    // a whole answer finds it recorded. A stalled or throttled answer does not hold them up.
    void Answering(bool on) {
        std::lock_guard<std::mutex> lock(service.mutex_);
        if (on) {
            ++service.answering_;
        } else {
            --service.answering_;
            service.idle_.notify_all();
        }
    }

    void Stall(std::int64_t ms) {
        Answering(false);
        struct Resume {
            Connection& c;
            ~Resume() { c.Answering(true); }
        } resume{*this};
        const auto start = Clock::now();
        const std::uint64_t generation = service.generation_.load();
        const auto limit = std::chrono::milliseconds(ms > 0 ? ms : 600000);
        while (Clock::now() - start < limit && !service.stopping_.load() &&
               service.generation_.load() == generation) {
            pollfd p{socket.native_handle(), POLLIN | POLLRDHUP, 0};
            if (::poll(&p, 1, 50) > 0) {
                if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                    return;
                }
                char c;
                if (::recv(socket.native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
                    return;
                }
            }
        }
    }

    void ResetConnection() {
        linger l{1, 0};
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        boost::system::error_code ec;
        socket.close(ec);
    }
};

Service::Service(Options options) : options_(std::move(options)) {
    auto add = [&](std::string name, Kind kind, std::string root, int port) {
        auto server = std::make_unique<Server>();
        server->name = std::move(name);
        server->kind = kind;
        server->root = std::move(root);
        server->port = port;
        servers_.push_back(std::move(server));
    };
    add("manifest", Kind::Files, options_.site, options_.manifestPort);
    for (std::size_t i = 0; i < options_.nodePorts.size(); ++i) {
        add("node" + std::to_string(i), Kind::Files, options_.content, options_.nodePorts[i]);
    }
    add("events", Kind::Analytics, "", options_.eventsPort);
    add("transfers", Kind::Analytics, "", options_.transfersPort);
    add("control", Kind::Control, "", options_.controlPort);
}

Service::~Service() {
    Stop();
}

void Service::Listen(Server& server) {
    auto acceptor = std::make_unique<tcp::acceptor>(io_);
    const tcp::endpoint endpoint(asio::ip::make_address(options_.host),
                                 static_cast<unsigned short>(server.port));
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::socket_base::reuse_address(true));
    boost::system::error_code ec;
    acceptor->bind(endpoint, ec);
    if (ec) {
        throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(server.port) +
                                 " for " + server.name + ": " + ec.message());
    }
    acceptor->listen(asio::socket_base::max_listen_connections);
    server.port = acceptor->local_endpoint().port();
    server.acceptor = std::move(acceptor);
    server.listening = true;
    Accept(server);
}

void Service::Start() {
    for (auto& server : servers_) {
        Listen(*server);
    }
    started_ = true;
    UpdateListening();  // refuse faults given before the start
}

json Service::Ports() const {
    json ports;
    json nodes = json::array();
    for (const auto& server : servers_) {
        if (server->name.compare(0, 4, "node") == 0) {
            nodes.push_back(server->port);
        } else {
            ports[server->name] = server->port;
        }
    }
    ports["nodes"] = nodes;
    return ports;
}

void Service::Accept(Server& server) {
    auto socket = std::make_shared<tcp::socket>(io_);
    server.acceptor->async_accept(*socket, [this, &server, socket](const boost::system::error_code& ec) {
        if (ec) {
            return;  // closed (refuse fault or stop)
        }
        std::uint64_t id = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            id = ++server.connections;
            ++liveConnections_;
        }
        std::thread([this, &server, socket, id] { Serve(server, socket, id); }).detach();
        if (server.listening) {
            Accept(server);
        }
    });
}

void Service::Run() {
    running_ = true;
    io_.run();
}

void Service::Stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    io_.stop();
    std::unique_lock<std::mutex> lock(mutex_);
    for (tcp::socket* socket : liveSockets_) {
        ::shutdown(socket->native_handle(), SHUT_RDWR);
    }
    idle_.wait_for(lock, std::chrono::seconds(5), [this] { return liveConnections_ == 0; });
}

void Service::Log(const std::string& line) const {
    if (options_.verbose) {
        std::cerr << line + "\n" << std::flush;
    }
}

// ---- faults and records ----

std::unique_ptr<Fault> Service::TakeFault(const std::string& server, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->refuse || !ServerMatches(it->server, server) ||
            path.compare(0, it->path.size(), it->path) != 0) {
            continue;
        }
        auto fault = std::make_unique<Fault>(*it);
        if (it->count > 0 && --it->count == 0) {
            faults_.erase(it);
        }
        return fault;
    }
    return nullptr;
}

void Service::AddFault(const Fault& fault) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.push_back(fault);
    }
    if (fault.refuse && started_) {
        UpdateListening();
    }
}

void Service::ClearFaults() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.clear();
        ++generation_;
    }
    UpdateListening();
}

// Closes the acceptors of refused servers and reopens the others, on the accept thread, and waits for it.
void Service::UpdateListening() {
    auto apply = [this] {
        std::vector<Fault> faults;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            faults = faults_;
        }
        for (auto& server : servers_) {
            if (server->kind == Kind::Control) {
                continue;
            }
            const bool refuse = std::any_of(faults.begin(), faults.end(), [&](const Fault& f) {
                return f.refuse && ServerMatches(f.server, server->name);
            });
            if (refuse && server->listening) {
                boost::system::error_code ec;
                server->acceptor->close(ec);
                server->listening = false;
                Log(server->name + ": refusing connections");
            } else if (!refuse && !server->listening) {
                try {
                    Listen(*server);
                    Log(server->name + ": listening again on " + std::to_string(server->port));
                } catch (const std::exception& e) {
                    Log(e.what());
                }
            }
        }
    };
    if (!running_.load()) {
        apply();  // before Run, this thread is the only one
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    asio::post(io_, [apply, done] {
        apply();
        done->set_value();
    });
    if (finished.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        throw std::runtime_error("the accept thread did not answer");
    }
}

std::shared_ptr<json> Service::Record(json entry) {
    auto shared = std::make_shared<json>(std::move(entry));
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(shared);
    return shared;
}

void Service::RecordPost(json entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    posts_.push_back(std::move(entry));
}

json Service::Records() const {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait_for(lock, std::chrono::seconds(2), [this] { return answering_ == 0; });
    json servers = json::object();
    for (const auto& server : servers_) {
        servers[server->name] = json{{"port", server->port},
                                     {"connections", server->connections},
                                     {"requests", server->requests},
                                     {"bytes", server->bytes}};
    }
    json faults = json::array();
    for (const auto& f : faults_) {
        faults.push_back(f.ToJson());
    }
    json requests = json::array();
    for (const auto& r : requests_) {
        requests.push_back(*r);
    }
    return json{{"servers", servers}, {"requests", requests}, {"posts", posts_}, {"faults", faults}};
}

void Service::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    posts_ = json::array();
    for (auto& server : servers_) {
        server->connections = 0;
        server->requests = 0;
        server->bytes = 0;
    }
}

// ---- one connection ----

void Service::Serve(Server& server, std::shared_ptr<tcp::socket> socket, std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        liveSockets_.insert(socket.get());
    }
    int one = 1;
    ::setsockopt(socket->native_handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection connection{*this, server, *socket, id};
    boost::beast::flat_buffer buffer;
    while (!stopping_.load()) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        boost::system::error_code ec;
        http::read(*socket, buffer, parser, ec);
        if (ec) {
            break;
        }
        Request& request = parser.get();
        const bool keepAlive = request.keep_alive();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++server.requests;
        }
        bool usable = false;
        try {
            usable = Handle(connection, request, keepAlive);
        } catch (const std::exception& e) {
            Log(server.name + ": " + e.what());
        }
        if (!usable || !keepAlive || !socket->is_open()) {
            break;
        }
    }
    boost::system::error_code ignored;
    socket->shutdown(tcp::socket::shutdown_both, ignored);
    socket->close(ignored);
    std::lock_guard<std::mutex> lock(mutex_);
    liveSockets_.erase(socket.get());
    --liveConnections_;
    idle_.notify_all();
}

bool Service::Handle(Connection& c, Request& request, bool keepAlive) {
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    const std::string method(request.method_string());
    json record{{"server", c.server.name},
                {"connection", c.id},
                {"method", method},
                {"path", path},
                {"range", std::string(request[http::field::range])},
                {"userAgent", std::string(request[http::field::user_agent])},
                {"via", std::string(request[http::field::via])},
                {"status", 0},
                {"bytes", 0},
                {"complete", false},
                {"fault", nullptr}};
    if (c.server.kind == Kind::Control) {
        return HandleControl(request,
                             [&](int status, const std::string& body, std::vector<std::string> fields) {
                                 return c.Send(Head(status, body.size(), fields, keepAlive) + body);
                             });
    }
    c.Answering(true);
    struct Done {
        Connection& c;
        ~Done() { c.Answering(false); }
    } done{c};
    // Recorded as soon as it is read, so that the records keep the order of the requests; completed below.
    const std::string range = record["range"].get<std::string>();
    const std::shared_ptr<json> entry = Record(std::move(record));
    const Finish finish = [&](int status, std::uint64_t bytes, bool complete) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            (*entry)["status"] = status;
            (*entry)["bytes"] = bytes;
            (*entry)["complete"] = complete;
            c.server.bytes += bytes;
        }
        Log(c.server.name + " #" + std::to_string(c.id) + " " + method + " " + target + " " + range + " -> " +
            std::to_string(status) + " " + std::to_string(bytes) + (complete ? "" : " (cut)"));
    };
    const Answer answer = [&](int status, const std::string& body, std::vector<std::string> fields) {
        if (std::none_of(fields.begin(), fields.end(),
                         [](const std::string& f) { return f.compare(0, 13, "Content-Type:") == 0; })) {
            fields.push_back("Content-Type: text/plain");
        }
        const bool sent = c.Send(Head(status, body.size(), fields, keepAlive) + body);
        finish(status, body.size(), sent);
        return sent;
    };

    std::unique_ptr<Fault> fault = TakeFault(c.server.name, path);
    if (fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        (*entry)["fault"] = fault->ToJson();
    }
    if (c.server.kind == Kind::Analytics && request.method() == http::verb::post) {
        RecordPost(json{{"server", c.server.name},
                        {"path", path},
                        {"contentType", std::string(request[http::field::content_type])},
                        {"userAgent", std::string(request[http::field::user_agent])},
                        {"body", request.body()},
                        {"answered", AnsweredStatus(fault.get())}});
    }
    if (fault && fault->reset) {
        c.ResetConnection();
        finish(0, 0, false);
        return false;
    }
    if (fault && fault->stall && fault->stallAfter < 0) {
        c.Stall(fault->stallMs);
        finish(0, 0, false);
        return false;
    }
    if (fault && fault->status != 0) {
        return answer(fault->status, "fault " + std::to_string(fault->status) + "\n", {});
    }
    if (fault && !fault->redirect.empty()) {
        return answer(302, "", {"Location: " + fault->redirect});
    }
    if (c.server.kind == Kind::Analytics) {
        if (request.method() != http::verb::post) {
            return answer(405, "POST only\n", {"Allow: POST"});
        }
        return answer(200, "", {});
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return answer(405, "GET or HEAD only\n", {"Allow: GET, HEAD"});
    }
    const std::string file = ResolveFile(c.server.root, target);
    if (file.empty()) {
        return answer(404, "not found\n", {});
    }
    return SendFile(c, file, request, keepAlive, fault.get(), finish, answer);
}

bool Service::SendFile(Connection& c, const std::string& file, Request& request, bool keepAlive,
                       const Fault* fault, const Finish& finish, const Answer& answer) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return answer(404, "not found\n", {});
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const std::uint64_t size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));

    ByteRange range = ParseRange(std::string(request[http::field::range]), size);
    if (fault && fault->ignoreRange) {
        range = ByteRange();
    }
    if (range.present && !range.satisfiable) {
        return answer(416, "", {"Content-Range: bytes */" + std::to_string(size)});
    }
    const std::uint64_t first = range.present ? range.first : 0;
    const std::uint64_t length = range.present ? range.last - range.first + 1 : size;
    const std::uint64_t extra = fault ? static_cast<std::uint64_t>(fault->extra) : 0;
    std::vector<std::string> fields{"Content-Type: " + ContentType(file), "Accept-Ranges: bytes"};
    int status = 200;
    if (range.present) {
        status = 206;
        fields.push_back("Content-Range: bytes " + std::to_string(range.first) + "-" +
                         std::to_string(range.last) + "/" + std::to_string(size));
    }
    // An answer without a length can only end by closing the connection.
    const bool unsized = fault && fault->unsized;
    if (unsized) {
        keepAlive = false;
    }
    if (!c.Send(Head(status, length + extra, fields, keepAlive, !unsized))) {
        finish(status, 0, false);
        return false;
    }
    if (request.method() == http::verb::head) {
        finish(status, 0, true);
        return true;
    }

    // How much of the body to send, and where to stop for a stall or an early close.
    std::uint64_t toSend = length;
    bool cut = false;
    if (fault && fault->shortBy > 0) {
        toSend = length - std::min<std::uint64_t>(length, static_cast<std::uint64_t>(fault->shortBy));
        cut = true;
    }
    bool stallThen = false;
    if (fault && fault->stall && fault->stallAfter >= 0 &&
        static_cast<std::uint64_t>(fault->stallAfter) < toSend) {
        toSend = static_cast<std::uint64_t>(fault->stallAfter);
        stallThen = true;
    }
    const bool plain = !fault || (fault->rate == 0 && !fault->wrong && !fault->forge);
    std::uint64_t sent = 0;
    bool ok = true;
    if (plain) {
        off_t offset = static_cast<off_t>(first);
        while (sent < toSend) {
            const ssize_t n =
                ::sendfile(c.socket.native_handle(), fd, &offset,
                           static_cast<std::size_t>(std::min<std::uint64_t>(toSend - sent, 1 << 30)));
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                ok = false;
                break;
            }
            sent += static_cast<std::uint64_t>(n);
        }
    } else {
        std::vector<char> block(64 * 1024);
        const auto start = Clock::now();
        // A throttled answer may take long: the records do not wait for it.
        const bool throttled = fault->rate > 0;
        if (throttled) {
            c.Answering(false);
        }
        struct Resume {
            Connection& c;
            bool on;
            ~Resume() {
                if (on) {
                    c.Answering(true);
                }
            }
        } resume{c, throttled};
        // A forged body is made whole first: its last four bytes depend on all the others. It is the range
        // (or the file) the request asked for, so its CRC-32 is the one the manifest gives for it.
        std::string forged;
        if (fault->forge) {
            forged.resize(static_cast<std::size_t>(length));
            std::size_t read = 0;
            while (ok && read < forged.size()) {
                const ssize_t n =
                    ::pread(fd, forged.data() + read, forged.size() - read, static_cast<off_t>(first + read));
                ok = n > 0 || (n < 0 && errno == EINTR);
                read += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
            forgery::ForgeKeepingCrc32(reinterpret_cast<unsigned char*>(forged.data()), forged.size());
        }
        while (ok && sent < toSend) {
            std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(toSend - sent, block.size()));
            if (fault->rate > 0) {
                piece = std::min<std::size_t>(piece, std::max<std::int64_t>(1, fault->rate / 20));
                const auto due =
                    start + std::chrono::milliseconds(sent * 1000 / static_cast<std::uint64_t>(fault->rate));
                std::this_thread::sleep_until(due);
                if (stopping_.load()) {
                    ok = false;
                    break;
                }
            }
            ssize_t n = 0;
            if (fault->forge) {
                std::copy_n(forged.data() + sent, piece, block.data());
                n = static_cast<ssize_t>(piece);
            } else {
                n = ::pread(fd, block.data(), piece, static_cast<off_t>(first + sent));
            }
            if (n <= 0) {
                ok = false;
                break;
            }
            if (fault->wrong) {
                for (ssize_t i = 0; i < n; ++i) {
                    block[static_cast<std::size_t>(i)] =
                        static_cast<char>(~block[static_cast<std::size_t>(i)]);
                }
            }
            ok = c.Send(block.data(), static_cast<std::size_t>(n));
            sent += ok ? static_cast<std::uint64_t>(n) : 0;
        }
    }
    if (ok && stallThen) {
        c.Stall(fault->stallMs);
        finish(status, sent, false);
        return false;
    }
    if (ok && extra > 0) {
        const std::string more(static_cast<std::size_t>(extra), '\xEE');
        ok = c.Send(more);
        sent += ok ? extra : 0;
    }
    if (!ok || cut) {
        finish(status, sent, false);
        return false;
    }
    finish(status, sent, true);
    return !unsized;
}

bool Service::HandleControl(Request& request, const Answer& answer) {
    const std::string target(request.target());
    const bool post = request.method() == http::verb::post;
    try {
        if (!post && target == "/ports") {
            return answer(200, Ports().dump() + "\n", {"Content-Type: application/json"});
        }
        if (!post && target == "/records") {
            return answer(200, Records().dump() + "\n", {"Content-Type: application/json"});
        }
        if (post && target == "/records/clear") {
            ClearRecords();
            return answer(200, "{}\n", {});
        }
        if (post && target == "/faults") {
            const json body = json::parse(request.body());
            std::vector<Fault> faults;
            for (const json& item : body.is_array() ? body : json::array({body})) {
                faults.push_back(Fault::FromJson(item));
            }
            for (const Fault& f : faults) {
                AddFault(f);
            }
            return answer(200, "{}\n", {});
        }
        if (post && target == "/faults/clear") {
            ClearFaults();
            return answer(200, "{}\n", {});
        }
    } catch (const std::exception& e) {
        return answer(400, std::string(e.what()) + "\n", {});
    }
    return answer(404,
                  "control: GET /ports, GET /records, POST /records/clear, POST /faults, "
                  "POST /faults/clear\n",
                  {});
}

}  // namespace halcyne::delivery

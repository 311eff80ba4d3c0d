#include "support/WebServers.hpp"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <boost/algorithm/string/replace.hpp>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace halcyne::test {

namespace {

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

ServerProcess::~ServerProcess() {
    Stop();
}

void ServerProcess::Launch(const std::vector<std::string>& command, int port, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
    port_ = port;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Accepts(port)) {
        int status = 0;
        const bool exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
        if (exited || std::chrono::steady_clock::now() > deadline) {
            if (exited) {
                pid_ = -1;
            }
            Stop();
            std::string text;
            try {
                text = ReadFileText(log);
            } catch (const std::exception&) {
            }
            throw std::runtime_error(args[0] + " did not start on port " + std::to_string(port) + ":\n" +
                                     text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ServerProcess::Stop() {
    StopChildProcess(pid_);
}

std::string NginxServer::StoppedAccessLog() {
    Stop();
    return ReadFileText(accessLog_);
}

NginxServer::NginxServer(const std::string& root, const NginxOptions& options) {
    const std::string s = scratch_.Path();
    accessLog_ = s + "/access.log";
    const std::string tls = options.tls.certificate.empty()
                                ? std::string(";\n")
                                : std::string(options.http2 ? " ssl http2" : " ssl") +
                                      ";\n    ssl_certificate " + options.tls.certificate +
                                      ";\n    ssl_certificate_key " + options.tls.key + ";\n";
    for (int attempt = 0;; ++attempt) {
        const int port = FreePort();
        ports_ = {port};
        std::string servers = "  server {\n    listen 127.0.0.1:" + std::to_string(port) + tls + "    root " +
                              root + ";\n" + options.serverConfig + "\n  }\n";
        if (!options.servers.empty()) {
            servers.clear();
            for (std::size_t i = 0; i < options.servers.size(); ++i) {
                if (i > 0) {
                    ports_.push_back(FreePort());
                }
                servers += boost::algorithm::replace_all_copy(options.servers[i], "@PORT@",
                                                              std::to_string(ports_[i])) +
                           "\n";
            }
        }
        // Run as root (as CI does), the workers would switch to nobody and could not read the 0700 scratch
        // folders: keep them as the current user.
        const std::string user = ::geteuid() == 0 ? "user root;\n" : "";
        WriteFileText(s + "/nginx.conf", user +
                                             "daemon off;\nmaster_process off;\nworker_processes 1;\npid " +
                                             s + "/nginx.pid;\nerror_log " + s + "/error.log info;\n" +
                                             "events { worker_connections 256; }\n"
                                             "http {\n"
                                             "  access_log " +
                                             accessLog_ +
                                             ";\n"
                                             "  client_body_temp_path " +
                                             s + "/body;\n  proxy_temp_path " + s +
                                             "/proxy;\n"
                                             "  fastcgi_temp_path " +
                                             s + "/fastcgi;\n  uwsgi_temp_path " + s +
                                             "/uwsgi;\n"
                                             "  scgi_temp_path " +
                                             s +
                                             "/scgi;\n"
                                             "  sendfile on;\n  keepalive_requests 100000;\n"
                                             "  default_type application/octet-stream;\n" +
                                             servers + "}\n");
        try {
            Launch({"/usr/sbin/nginx", "-p", s, "-c", s + "/nginx.conf", "-e", s + "/error.log"}, port,
                   s + "/output.log");
            return;
        } catch (const std::runtime_error&) {
            if (attempt == 2) {
                throw;  // three ports taken in between: give up
            }
        }
    }
}

VarnishServer::VarnishServer(const std::string& vcl, const std::string& storage) {
    const std::string s = scratch_.Path();
    WriteFileText(s + "/cache.vcl", vcl);
    for (int attempt = 0;; ++attempt) {
        const int port = FreePort();
        // In the foreground, its working folder in the scratch folder, no management port, no jail (as root
        // it would switch to a user that cannot read the scratch folder), and a few threads only.
        try {
            Launch({"/usr/sbin/varnishd", "-F", "-n", s + "/work", "-a", "127.0.0.1:" + std::to_string(port),
                    "-f", s + "/cache.vcl", "-s", storage, "-T", "none", "-j", "none", "-p", "thread_pools=1",
                    "-p", "thread_pool_min=20"},
                   port, s + "/output.log");
            return;
        } catch (const std::runtime_error&) {
            if (attempt == 2) {
                throw;
            }
        }
    }
}

TinyproxyServer::TinyproxyServer() {
    const std::string s = scratch_.Path();
    log_ = s + "/tinyproxy.log";
    for (int attempt = 0;; ++attempt) {
        const int port = FreePort();
        WriteFileText(s + "/tinyproxy.conf", "Port " + std::to_string(port) +
                                                 "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" + log_ +
                                                 "\"\nLogLevel Info\nMaxClients 50\nAllow 127.0.0.1\n");
        try {
            Launch({"/usr/bin/tinyproxy", "-d", "-c", s + "/tinyproxy.conf"}, port, s + "/output.log");
            return;
        } catch (const std::runtime_error&) {
            if (attempt == 2) {
                throw;
            }
        }
    }
}

}  // namespace halcyne::test

// Real servers from Debian for the tests, each started on 127.0.0.1 with its configuration and logs in a
// scratch folder, and stopped at the end of the scope. Used from the test's thread.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::test {

// A free TCP port on 127.0.0.1 at the time of the call.
int FreePort();

// A started program that listens on a port; stopped with SIGTERM (SIGKILL after 5 s).
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int Port() const { return port_; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

protected:
    // Starts the program (output to `log`) and waits until the port takes connections; throws
    // std::runtime_error with the log's text when it does not within 10 s.
    void Launch(const std::vector<std::string>& command, int port, const std::string& log);
    void Stop();

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

struct NginxOptions {
    ServerCertificate tls{};     // with a certificate and key: https on the port (plain http without)
    bool http2 = false;          // with tls: offer HTTP/2 as well
    std::string serverConfig{};  // more directives for the server block (locations, redirects)
    // Whole server blocks in place of the built-in one (root, tls and serverConfig then shape nothing):
    // block i listens on 127.0.0.1 at Ports()[i], written "@PORT@" in its text.
    std::vector<std::string> servers{};
};

// nginx serving a folder (byte ranges, keep-alive, sendfile) as a static web server, over http or, with a
// certificate, over https.
class NginxServer : public ServerProcess {
public:
    explicit NginxServer(const std::string& root, const NginxOptions& options = {});
    // The port of each server block (the built-in one: Port() alone).
    const std::vector<int>& Ports() const { return ports_; }
    const std::string& AccessLog() const { return accessLog_; }
    // Stops the server and returns its access log. A client can have its whole answer before nginx has
    // logged the request; once nginx has exited, every request it answered is in the log.
    std::string StoppedAccessLog();

private:
    ScratchFolder scratch_;
    std::string accessLog_;
    std::vector<int> ports_;
};

// Varnish, a caching HTTP proxy, running a VCL program (whose backends the caller points at its servers),
// with `storage` (varnishd -s) for the objects it keeps, and no management port.
class VarnishServer : public ServerProcess {
public:
    explicit VarnishServer(const std::string& vcl, const std::string& storage = "malloc,64m");

private:
    ScratchFolder scratch_;
};

// tinyproxy, a forward HTTP proxy that allows 127.0.0.1.
class TinyproxyServer : public ServerProcess {
public:
    TinyproxyServer();
    const std::string& LogPath() const { return log_; }

private:
    ScratchFolder scratch_;
    std::string log_;
};

}  // namespace halcyne::test

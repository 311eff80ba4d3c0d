// halcyne-delivery: a local delivery service (manifest service, content nodes, analytics endpoints) for
// trying packages and for the tests. See --help.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <boost/asio/signal_set.hpp>
#include <boost/filesystem.hpp>

#include "CommandLine.hpp"
#include "DeliveryService.hpp"

namespace {

using namespace halcyne::tools;

const char* const Program = "halcyne-delivery";

const char* const Usage = R"(usage: halcyne-delivery --site FOLDER [options]
       halcyne-delivery --help | --version

Serves a published site on 127.0.0.1 the way the updater's delivery service does:
  the manifest service  GET /manifests/<package>/current.xml, /manifests/<package>/<version>.xml,
                        /nodes/<partner>.xml and any other file of the site folder
  content nodes         GET (with byte ranges) of the files of the content folder, normally
                        /packages/<partner>/<package>/<version>/<path>
  analytics             POST of JSON reports to the event and the transfer endpoints (bodies recorded)
  control               GET /ports, GET /records, POST /records/clear, POST /faults, POST /faults/clear

Options:
  --site FOLDER         folder the manifest service serves (required)
  --content FOLDER      folder the content nodes serve (default: the site folder)
  --nodes N             number of content nodes (default 1)
  --host ADDRESS        address to listen on (default 127.0.0.1)
  --manifest-port P     port of the manifest service (default 0: any free port)
  --node-port P         port of the next content node; repeat for each (default 0)
  --events-port P       port of the event analytics endpoint (default 0)
  --transfers-port P    port of the transfer analytics endpoint (default 0)
  --control-port P      port of the control endpoint (default 0)
  --faults FILE         JSON file with a fault or a list of faults to apply from the start
  --quiet               do not print one line per request on standard error
  -h, --help            show this text
  --version             the tool's version

An option's value follows it as the next argument or after '=' (--site=FOLDER). Exit status: 0 stopped by
SIGINT or SIGTERM, 1 the service failed (a port taken, a faults file unreadable), 2 a wrong command line.

Once every port is bound, the first line on standard output is a JSON object with the ports:
  {"control":P,"events":P,"manifest":P,"nodes":[P,...],"transfers":P}
Content nodes are named node0, node1, ... in faults and records.

A fault (POST /faults, or --faults) is a JSON object; omitted fields do nothing:
  "server"      "manifest", "node<i>", "events", "transfers", or "*" (default: every server)
  "path"        path prefix the request must match (default: every path)
  "status"      answer with this HTTP status          "redirect"  answer 302 with this Location
  "refuse"      stop listening: connections are refused until the faults are cleared
  "reset"       reset the connection instead of answering
  "stall"       send nothing more; "stallAfter" body bytes first (default -1: not even the head),
                for "stallMs" milliseconds (default: until the client gives up or faults are cleared)
  "rate"        send the body at this many bytes per second
  "short"       announce the full length but send this many bytes fewer, then close
  "extra"       send this many bytes more than the range asked for
  "wrong"       send every byte inverted              "ignoreRange"  answer 200 with the whole file
  "forge"       send the body forged so that it keeps its CRC-32 (every byte but the last four
                inverted, those four set to restore the CRC-32; bodies under 5 bytes are sent as they are)
  "count"       apply to this many requests, then drop the fault (default 0: until cleared)
  "unsized"     send no Content-Length and close the connection after the body
The first fault that matches a request applies. Example:
  curl -d '{"server":"node0","status":503,"count":2}' http://127.0.0.1:<control>/faults
)";

[[noreturn]] void FailUsage(const std::string& message) {
    std::exit(ReportUsageError(Program, message));
}

int Port(const std::string& text) {
    try {
        std::size_t used = 0;
        const int port = std::stoi(text, &used);
        if (used == text.size() && port >= 0 && port <= 65535) {
            return port;
        }
    } catch (const std::exception&) {
    }
    FailUsage("not a port: " + text);
}

}  // namespace

int main(int argc, char** argv) {
    using halcyne::delivery::Fault;
    halcyne::delivery::Options options;
    int nodes = -1;
    std::string faultsFile;
    ArgumentReader arguments(argc, argv);
    try {
        while (!arguments.Done()) {
            const std::string arg = arguments.Next();
            if (arg == "--help" || arg == "-h") {
                arguments.Flag();
                std::cout << Usage;
                return 0;
            } else if (arg == "--version") {
                arguments.Flag();
                PrintVersion(Program);
                return 0;
            } else if (arg == "--site") {
                options.site = arguments.Value();
            } else if (arg == "--content") {
                options.content = arguments.Value();
            } else if (arg == "--nodes") {
                const std::string n = arguments.Value();
                if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 3) {
                    FailUsage("--nodes takes a number");
                }
                nodes = std::stoi(n);
            } else if (arg == "--host") {
                options.host = arguments.Value();
            } else if (arg == "--manifest-port") {
                options.manifestPort = Port(arguments.Value());
            } else if (arg == "--node-port") {
                options.nodePorts.push_back(Port(arguments.Value()));
            } else if (arg == "--events-port") {
                options.eventsPort = Port(arguments.Value());
            } else if (arg == "--transfers-port") {
                options.transfersPort = Port(arguments.Value());
            } else if (arg == "--control-port") {
                options.controlPort = Port(arguments.Value());
            } else if (arg == "--faults") {
                faultsFile = arguments.Value();
            } else if (arg == "--quiet") {
                arguments.Flag();
                options.verbose = false;
            } else if (arguments.IsOption()) {
                FailUsage("unknown option '" + arg + "'");
            } else {
                FailUsage("unexpected argument '" + arg + "'");
            }
        }
    } catch (const UsageError& error) {
        FailUsage(error.what());
    }
    if (options.site.empty()) {
        FailUsage("--site is required");
    }
    if (options.content.empty()) {
        options.content = options.site;
    }
    for (const std::string& folder : {options.site, options.content}) {
        if (!boost::filesystem::is_directory(folder)) {
            FailUsage("not a folder: " + folder);
        }
    }
    if (nodes < 0) {
        nodes = options.nodePorts.empty() ? 1 : static_cast<int>(options.nodePorts.size());
    }
    if (static_cast<int>(options.nodePorts.size()) > nodes) {
        FailUsage("more --node-port options than --nodes");
    }
    options.nodePorts.resize(static_cast<std::size_t>(nodes), 0);

    // SIGINT and SIGTERM are taken by a waiting thread; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        halcyne::delivery::Service service(options);
        if (!faultsFile.empty()) {
            std::ifstream in(faultsFile);
            if (!in) {
                std::cerr << Program << ": cannot read " << faultsFile << "\n";
                return ExitFailure;
            }
            const nlohmann::json faults = nlohmann::json::parse(in);
            for (const auto& item : faults.is_array() ? faults : nlohmann::json::array({faults})) {
                service.AddFault(Fault::FromJson(item));
            }
        }
        service.Start();
        std::cout << service.Ports().dump() << std::endl;
        std::thread waiter([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            service.Stop();
        });
        waiter.detach();
        service.Run();
        service.Stop();
        // Connection threads are detached; leave without running destructors under their feet.
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(0);
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return ExitFailure;
    }
    return 0;
}

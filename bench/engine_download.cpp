// A whole download through DownloadEngine, as the updater runs it, for timing with hyperfine.
//
//   engine_download serve <folder> <files> <file KiB> <chunk KiB>
//       Writes a package of <files> random files into <folder>/site as version V (current, every file with
//       its SHA-256) and the same files as version U (no SHA-256), starts three nginx content nodes and an
//       nginx manifest service on it, and writes <folder>/env (MANIFEST_HOST; NODE_LOGS, the nodes' access
//       logs), <folder>/package.metalink (the same pieces with SHA-1 per chunk, for aria2c) and <folder>/urls
//       (the files on node 0, for curl). Serves until standard input closes. BENCH_NODES=delivery serves
//       it with the delivery service (three nodes, no access logs) instead of nginx.
//   engine_download run <manifest host> <destination> [version [log level]]
//       One transfer (of the current version unless given) with the updater's settings (worker threads
//       doubled, the default log level unless given, analytics on: both streams posted to the manifest host),
//       watched by the updater's transfer monitor as the updater does (polls about every 100 ms, and at once
//       when the engine reports a change). Prints the peak RssAnon sampled at each report, in KiB, to
//       standard error. Exits 0 when complete. LIMIT_KIB caps the engine's download rate (KiB per second).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include <boost/uuid/detail/sha1.hpp>
#include <fcntl.h>
#include <unistd.h>

#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"
#include "transfer/DownloadEngine.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"

using namespace halcyne;

namespace {

// The updater's side of a transfer: the monitor's callbacks start the transfer into the destination once it
// is initialized and hand its end to the main thread; the resident anonymous memory is sampled at each
// report (about every 100 ms).
class Runner : public TransferMonitorCallback {
public:
    Runner(TransferOperations& engine, TransferMonitorImpl& monitor, std::string destination)
        : engine_(engine), monitor_(monitor), destination_(std::move(destination)) {}

    void OnTransferProgress(const TransferStatus&) override { Sample(); }
    void OnTransferInitialized(const TransferStatus& status) override {
        Sample();
        initialized_ = std::chrono::steady_clock::now();
        engine_.StartTransferInto(status.transferId, destination_);
        monitor_.Monitor(status.transferId, this);
    }
    void OnTransferRetryableError(const TransferStatus& status) override { OnTransferEnd(status); }
    void OnTransferEnd(const TransferStatus& status) override {
        Sample();
        const std::lock_guard<std::mutex> guard(lock_);
        endedAt_ = std::chrono::steady_clock::now();
        end_ = status;
        ended_.notify_all();
    }

    TransferStatus WaitForEnd() {
        std::unique_lock<std::mutex> lock(lock_);
        ended_.wait(lock, [&] { return end_.has_value(); });
        return *end_;
    }
    long PeakRssAnonKiB() const { return peak_; }
    // When the monitor reported the initialization and the end; read after the monitor has stopped.
    std::chrono::steady_clock::time_point InitializedAt() const { return initialized_; }
    std::chrono::steady_clock::time_point EndedAt() const { return endedAt_; }

private:
    void Sample() { peak_ = std::max(peak_.load(), test::ProcessStatusKiB("RssAnon")); }

    TransferOperations& engine_;
    TransferMonitorImpl& monitor_;
    const std::string destination_;
    std::atomic<long> peak_{0};  // written on the monitor's thread only
    std::mutex lock_;            // guards end_
    std::condition_variable ended_;
    std::optional<TransferStatus> end_;
    std::chrono::steady_clock::time_point initialized_;  // written on the monitor's thread
    std::chrono::steady_clock::time_point endedAt_;      // under lock_
};

int Run(const std::string& host, const std::string& destination, const std::string& version,
        const std::optional<int>& logLevel) {
    EngineSettings settings;
    if (logLevel) {
        settings.logLevel = *logLevel;
    }
    settings.manifestHost = host;
    settings.workerThreads = 2 * DefaultWorkerThreads();
    settings.maxRunningWorks = settings.workerThreads;
    settings.eventAnalyticsUrl = "http://" + host;
    settings.transferAnalyticsUrl = "http://" + host;
    if (const char* limit = std::getenv("LIMIT_KIB")) {
        settings.maxDownloadRate = std::stoull(limit) * 1024;
    }
    const auto begin = std::chrono::steady_clock::now();
    auto engine = std::make_unique<DownloadEngine>(settings);
    EngineTransferOperations<DownloadEngine> operations(&engine);
    auto monitor = std::make_unique<TransferMonitorImpl>(&operations);
    Runner runner(operations, *monitor, destination);
    monitor->Start();
    monitor->Monitor(operations.StartTransfer("P", "K", version).transferId, &runner);
    const TransferStatus end = runner.WaitForEnd();
    monitor.reset();
    engine.reset();
    const auto milliseconds = [&](std::chrono::steady_clock::time_point at) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(at - begin).count();
    };
    // Not ending in a number: the scripts take the last number of a line as the RssAnon figure.
    std::cerr << "phases: initialized at " << milliseconds(runner.InitializedAt()) << " ms, ended at "
              << milliseconds(runner.EndedAt()) << " ms, engine gone at "
              << milliseconds(std::chrono::steady_clock::now()) << " ms\n";
    const bool complete = end.state == TransferState::Complete && end.error == TransferError::None;
    if (!complete) {
        std::cerr << "transfer failed: state " << static_cast<int>(end.state) << " error " << ToInt(end.error)
                  << "\n";
    }
    std::cerr << "peak RssAnon KiB " << runner.PeakRssAnonKiB() << "\n";
    return complete ? 0 : 1;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::ostringstream out;
    for (std::size_t i = 0; i < size; ++i) {
        out << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(bytes[i]);
    }
    return out.str();
}

int Serve(const std::string& folder, int files, std::uint64_t fileKiB, std::uint32_t chunkKiB) {
    test::SiteWriter site(folder + "/site");
    test::SitePackage package;
    package.chunkSize = chunkKiB * 1024;
    std::mt19937_64 random(1);
    ::mkdir((folder + "/content").c_str(), 0700);
    std::ofstream metalink(folder + "/package.metalink");
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        const std::string path = "f" + std::to_string(i) + ".bin";
        const std::string source = folder + "/content/" + path;
        std::string bytes(fileKiB * 1024, '\0');
        for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8) {
            const std::uint64_t value = random();
            std::memcpy(&bytes[at], &value, 8);
        }
        std::ofstream(source, std::ios::binary) << bytes;
        package.files.push_back({path, {}, source});
        paths.push_back(path);
    }
    site.PublishPackage(package);
    // The same files without hashes: version U's folder is version V's.
    test::SitePackage unhashed = package;
    unhashed.versionId = "U";
    unhashed.hashFiles = false;
    unhashed.hashChunks = false;
    ::symlink("V", (folder + "/site/packages/P/K/U").c_str());
    site.WriteText("manifests/K/U.xml", site.PackageManifestXml(unhashed));
    // Three nginx content nodes and an nginx manifest service, or (BENCH_NODES=delivery) the delivery
    // service with three nodes, which keeps no access logs.
    const char* server = std::getenv("BENCH_NODES");
    const bool delivery = server != nullptr && std::string(server) == "delivery";
    std::vector<std::unique_ptr<test::NginxServer>> nginx;
    std::unique_ptr<test::LocalDeliveryService> service;
    std::vector<std::string> hosts;
    std::vector<std::string> logs;
    std::string manifestHost;
    if (delivery) {
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .content = {}, .nodes = 3});
        for (int i = 0; i < 3; ++i) {
            hosts.push_back(service->NodeHost(i));
        }
        manifestHost = service->ManifestHost();
    } else {
        for (int i = 0; i < 4; ++i) {
            nginx.push_back(std::make_unique<test::NginxServer>(site.Folder()));
        }
        for (int i = 0; i < 3; ++i) {
            hosts.push_back(nginx[i]->Host());
            logs.push_back(nginx[i]->AccessLog());
        }
        manifestHost = nginx[3]->Host();
    }
    std::vector<test::SiteNode> list;
    for (int i = 0; i < 3; ++i) {
        list.push_back({"node" + std::to_string(i), hosts[i]});
    }
    site.PublishNodeList("P", list);
    metalink << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metalink "
                "xmlns=\"urn:ietf:params:xml:ns:metalink\">\n";
    std::ofstream urls(folder + "/urls");
    for (std::size_t f = 0; f < paths.size(); ++f) {
        const std::string content = test::ReadFileText(folder + "/content/" + paths[f]);
        metalink << " <file name=\"" << paths[f] << "\">\n  <size>" << content.size() << "</size>\n"
                 << "  <pieces length=\"" << package.chunkSize << "\" type=\"sha-1\">\n";
        for (std::size_t at = 0; at < content.size(); at += package.chunkSize) {
            const std::size_t length = std::min<std::size_t>(package.chunkSize, content.size() - at);
            boost::uuids::detail::sha1 sha1;
            sha1.process_bytes(content.data() + at, length);
            boost::uuids::detail::sha1::digest_type words;
            sha1.get_digest(words);
            unsigned char digest[20];
            for (int w = 0; w < 5; ++w) {
                for (int b = 0; b < 4; ++b) {
                    digest[w * 4 + b] = static_cast<unsigned char>(words[w] >> (24 - 8 * b));
                }
            }
            metalink << "   <hash>" << Hex(digest, sizeof digest) << "</hash>\n";
        }
        metalink << "  </pieces>\n";
        for (const std::string& host : hosts) {
            metalink << "  <url>http://" << host << "/packages/P/K/V/" << paths[f] << "</url>\n";
        }
        metalink << " </file>\n";
        urls << "url = \"http://" << hosts[0] << "/packages/P/K/V/" << paths[f] << "\"\noutput = \""
             << paths[f] << "\"\n";
    }
    metalink << "</metalink>\n";
    metalink.close();
    urls.close();
    // Written aside and renamed: the scripts wait for the file and read it at once.
    std::ofstream env(folder + "/env.part");
    env << "MANIFEST_HOST=" << manifestHost << "\nNODE_LOGS='";
    for (const std::string& log : logs) {
        env << log << (&log == &logs.back() ? "" : " ");
    }
    env << "'\n";
    env.close();
    std::rename((folder + "/env.part").c_str(), (folder + "/env").c_str());
    std::cout << "serving; manifest host " << manifestHost << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 3 && args.size() <= 5 && args[0] == "run") {
        return Run(args[1], args[2], args.size() >= 4 ? args[3] : "?",
                   args.size() == 5 ? std::optional<int>(std::stoi(args[4])) : std::nullopt);
    }
    if (args.size() == 5 && args[0] == "serve") {
        return Serve(args[1], std::stoi(args[2]), std::stoull(args[3]),
                     static_cast<std::uint32_t>(std::stoul(args[4])));
    }
    std::cerr << "usage: engine_download serve <folder> <files> <file KiB> <chunk KiB> | run <host> "
                 "<destination> [version [log level]]\n";
    return 2;
}

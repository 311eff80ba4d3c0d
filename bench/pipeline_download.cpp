// A package download through the whole work tree against aria2c and curl, interleaved run by run so that
// all see the same machine load:
//   pipeline_download [--files N] [--file-mib N] [--chunk-kib N] [--runs N] [--max-running N] [--no-aria2]
//                     [--no-curl] [--no-hash]
// Defaults: 8 files of 128 MiB in 1 MiB chunks (1 GiB), 3 runs, every file with its SHA-256 in the manifest
// (--no-hash: none, so that only the chunks' CRC-32 is checked). The package is served by 3 nginx nodes on
// 127.0.0.1, the manifests by the local delivery service; the engine runs with the updater's settings
// (workerThreads doubled) and its work log. aria2c gets a metalink with the 3 nodes and 1 MiB SHA-1
// pieces and checks them (-V); curl fetches the files one after the other over one connection. Before each
// run the output is deleted and the file system synced; after it the output is compared with the source.
// Then a verify-only run over the complete set: the tree with no request (checked in the nginx logs) and
// aria2c -V over the same set.
// Reported per run: wall seconds, CPU seconds of this process per GiB (the engine only), peak anonymous
// RSS and peak views mapped at once (none, now that chunk data goes through pread and pwrite).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/uuid/detail/sha1.hpp>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "events/JsonWorkLogManager.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "pipeline/ChunkWorks.hpp"
#include "support/DeliveryService.hpp"
#include "support/PipelineHarness.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Samples this process every 5 ms: anonymous RSS and the number of mappings of files under a folder.
class Sampler {
public:
    explicit Sampler(std::string folder) : folder_(std::move(folder)), thread_([this] { Loop(); }) {}
    ~Sampler() {
        stop_ = true;
        thread_.join();
    }
    std::uint64_t PeakAnonKib() const { return peakAnon_.load(); }
    std::uint64_t PeakViews() const { return peakViews_.load(); }

private:
    void Loop() {
        while (!stop_) {
            Sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Sample();
    }
    void Sample() {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("RssAnon:", 0) == 0) {
                const std::uint64_t kib = std::stoull(line.substr(8));
                peakAnon_ = std::max<std::uint64_t>(peakAnon_.load(), kib);
            }
        }
        std::ifstream maps("/proc/self/maps");
        std::uint64_t views = 0;
        while (std::getline(maps, line)) {
            if (line.find(folder_) != std::string::npos) {
                ++views;
            }
        }
        peakViews_ = std::max<std::uint64_t>(peakViews_.load(), views);
    }

    const std::string folder_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> peakAnon_{0};
    std::atomic<std::uint64_t> peakViews_{0};
    std::thread thread_;
};

void SyncAndClear(const std::string& folder) {
    boost::filesystem::remove_all(folder);
    boost::filesystem::create_directories(folder);
    sync();
}

std::string Sha1Hex(const char* data, std::size_t size) {
    boost::uuids::detail::sha1 sha;
    sha.process_bytes(data, size);
    unsigned int digest[5];
    sha.get_digest(digest);
    char hex[41];
    for (int i = 0; i < 5; ++i) {
        std::snprintf(hex + i * 8, 9, "%08x", digest[i]);
    }
    return hex;
}

bool SameFiles(const std::vector<std::string>& sources, const std::vector<std::string>& copies) {
    std::vector<char> a(1 << 20);
    std::vector<char> b(1 << 20);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        std::ifstream x(sources[i], std::ios::binary);
        std::ifstream y(copies[i], std::ios::binary);
        if (!x || !y) {
            return false;
        }
        for (;;) {
            x.read(a.data(), static_cast<std::streamsize>(a.size()));
            y.read(b.data(), static_cast<std::streamsize>(b.size()));
            if (x.gcount() != y.gcount() ||
                std::memcmp(a.data(), b.data(), static_cast<std::size_t>(x.gcount())) != 0) {
                return false;
            }
            if (x.gcount() == 0) {
                break;
            }
        }
    }
    return true;
}

std::uint64_t CountLines(const std::string& path) {
    std::ifstream in(path);
    return static_cast<std::uint64_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace halcyne;
    int fileCount = 8;
    std::uint64_t fileMib = 128;
    std::uint32_t chunkKib = 1024;
    int runs = 3;
    bool aria2 = true;
    bool curl = true;
    int maxRunning = 0;
    bool hashFiles = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--files" && hasValue) {
            fileCount = std::stoi(argv[++i]);
        } else if (arg == "--file-mib" && hasValue) {
            fileMib = std::stoull(argv[++i]);
        } else if (arg == "--chunk-kib" && hasValue) {
            chunkKib = static_cast<std::uint32_t>(std::stoul(argv[++i]));
        } else if (arg == "--runs" && hasValue) {
            runs = std::stoi(argv[++i]);
        } else if (arg == "--max-running" && hasValue) {
            maxRunning = std::stoi(argv[++i]);
        } else if (arg == "--no-aria2") {
            aria2 = false;
        } else if (arg == "--no-curl") {
            curl = false;
        } else if (arg == "--no-hash") {
            hashFiles = false;
        } else {
            std::cerr << "usage: pipeline_download [--files N] [--file-mib N] [--chunk-kib N] [--runs N] "
                         "[--max-running N] [--no-aria2] [--no-curl] [--no-hash]\n";
            return 2;
        }
    }
    const std::uint64_t fileSize = fileMib << 20;
    const std::uint32_t chunkSize = chunkKib << 10;
    const double gib =
        static_cast<double>(fileSize * static_cast<std::uint64_t>(fileCount)) / double(1 << 30);

    test::ScratchFolder scratch;
    test::SiteWriter site(scratch / "site");
    test::SitePackage package;
    package.chunkSize = chunkSize;
    package.hashFiles = hashFiles;
    package.hashChunks = hashFiles;
    std::vector<std::string> sources;
    std::vector<std::string> names;
    {
        std::vector<char> block(1 << 20);
        std::uint64_t state = 88172645463325252ull;
        for (int f = 0; f < fileCount; ++f) {
            const std::string name = "data/file" + std::to_string(f) + ".pak";
            test::SiteFile file;
            file.path = name;
            package.files.push_back(file);
            const std::string path = site.PackageFilePath(package, name);
            boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
            std::ofstream out(path, std::ios::binary);
            for (std::uint64_t written = 0; written < fileSize; written += block.size()) {
                for (std::size_t i = 0; i < block.size(); i += 8) {
                    state ^= state << 13;
                    state ^= state >> 7;
                    state ^= state << 17;
                    std::memcpy(block.data() + i, &state, 8);
                }
                out.write(block.data(), static_cast<std::streamsize>(
                                            std::min<std::uint64_t>(block.size(), fileSize - written)));
            }
            sources.push_back(path);
            names.push_back(name);
        }
    }
    const std::string manifest = site.PackageManifestXml(package);
    site.WriteText("manifests/K/V.xml", manifest);
    site.WriteText("manifests/K/current.xml", manifest);

    test::LocalDeliveryService delivery({.site = site.Folder(), .content = {}, .nodes = 1});
    std::vector<std::unique_ptr<test::NginxServer>> nginx;
    std::vector<test::SiteNode> nodes;
    for (int i = 0; i < 3; ++i) {
        nginx.push_back(std::make_unique<test::NginxServer>(site.Folder()));
        nodes.push_back({"nginx" + std::to_string(i), nginx.back()->Host(), "/packages/", 1});
    }
    site.PublishNodeList("P", nodes);

    // The metalink for aria2c: every file with the three nodes and SHA-1 per chunk.
    const std::string metalink = scratch / "package.metalink";
    if (aria2) {
        std::ofstream out(metalink);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metalink "
               "xmlns=\"urn:ietf:params:xml:ns:metalink\">\n";
        std::vector<char> piece(chunkSize);
        for (int f = 0; f < fileCount; ++f) {
            out << " <file name=\"" << names[static_cast<std::size_t>(f)] << "\">\n  <size>" << fileSize
                << "</size>\n  <pieces length=\"" << chunkSize << "\" type=\"sha-1\">\n";
            std::ifstream in(sources[static_cast<std::size_t>(f)], std::ios::binary);
            while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
                out << "   <hash>" << Sha1Hex(piece.data(), static_cast<std::size_t>(in.gcount()))
                    << "</hash>\n";
            }
            out << "  </pieces>\n";
            for (const auto& node : nodes) {
                out << "  <url>http://" << node.host << "/packages/P/K/V/"
                    << names[static_cast<std::size_t>(f)] << "</url>\n";
            }
            out << " </file>\n";
        }
        out << "</metalink>\n";
    }

    const std::string dest = scratch / "dest";
    std::vector<std::string> copies;
    for (const std::string& name : names) {
        copies.push_back(dest + "/" + name);
    }
    PosixSharedFileFactory fileFactory;
    EngineSettings settings;
    settings.manifestHost = delivery.ManifestHost();
    settings.workerThreads *= 2;  // as the updater's main flow does
    if (maxRunning > 0) {
        settings.maxRunningWorks = maxRunning;  // an experiment; the updater keeps the default
    }
    std::cout << "package: " << fileCount << " x " << fileMib << " MiB, chunks of " << chunkKib
              << " KiB; workerThreads " << settings.workerThreads << ", maxRunningWorks "
              << settings.maxRunningWorks << "; hardware threads " << std::thread::hardware_concurrency()
              << "\n";

    auto runEngine = [&](const char* label, bool clear) {
        if (clear) {
            SyncAndClear(dest);
        }
        std::uint64_t nodeRequestsBefore = 0;
        for (const auto& server : nginx) {
            nodeRequestsBefore += CountLines(server->AccessLog());
        }
        // What earlier runs freed goes back to the system first, so that the peak is this run's.
        malloc_trim(0);
        double wall = 0;
        double cpu = 0;
        std::uint64_t peakAnon = 0;
        std::uint64_t peakViews = 0;
        bool ok = false;
        {
            JsonWorkLogManager workLog(settings.logLevel, scratch / "logs", &fileFactory);
            Sampler sampler(dest);
            test::PipelineServices services(settings, &fileFactory, nullptr, &workLog);
            TransferParams params;
            params.transferId = "0123456789abcdef0123456789abcdef";
            params.partnerId = "P";
            params.packageId = "K";
            params.destPath = dest;
            auto transfer = std::make_shared<test::HarnessTransfer>(services.Behavior(), params);
            const double cpuStart = CpuSeconds();
            const auto start = Clock::now();
            auto workflow = transfer->Start();
            const auto end = transfer->WaitForEnd(std::chrono::minutes(10));
            wall = Seconds(Clock::now() - start);
            cpu = CpuSeconds() - cpuStart;
            ok = end && end->result == WorkResult::Success &&
                 transfer->Verified() == fileSize * static_cast<std::uint64_t>(fileCount);
            peakAnon = sampler.PeakAnonKib();
            peakViews = sampler.PeakViews();
        }
        std::uint64_t nodeRequests = 0;
        for (const auto& server : nginx) {
            nodeRequests += CountLines(server->AccessLog());
        }
        nodeRequests -= nodeRequestsBefore;
        std::printf(
            "%-12s %7.3f s  %6.3f CPU-s/GiB  anon peak %6.1f MiB  views peak %4llu  requests %5llu  %s\n",
            label, wall, cpu / gib, static_cast<double>(peakAnon) / 1024.0,
            static_cast<unsigned long long>(peakViews), static_cast<unsigned long long>(nodeRequests),
            ok && SameFiles(sources, copies) ? "identical" : "DIFFERENT OR FAILED");
        std::fflush(stdout);
    };
    auto runTool = [&](const char* label, const std::string& command, bool clear) {
        if (clear) {
            SyncAndClear(dest);
        }
        const auto start = Clock::now();
        const int status = std::system(command.c_str());
        const double wall = Seconds(Clock::now() - start);
        std::printf("%-12s %7.3f s  %s\n", label, wall,
                    status == 0 && SameFiles(sources, copies) ? "identical" : "DIFFERENT OR FAILED");
        std::fflush(stdout);
    };
    const std::string aria2Command =
        "aria2c -q -V --allow-overwrite=true --auto-file-renaming=false "
        "--file-allocation=falloc -j " +
        std::to_string(fileCount) + " -x 3 -s 3 --min-split-size=1M -d " + dest + " -M " + metalink;
    std::string curlCommand = "curl -s";
    for (int f = 0; f < fileCount; ++f) {
        curlCommand += " --create-dirs -o " + copies[static_cast<std::size_t>(f)] + " http://" +
                       nodes[0].host + "/packages/P/K/V/" + names[static_cast<std::size_t>(f)];
    }

    for (int run = 0; run < runs; ++run) {
        runEngine("engine", true);
        if (aria2) {
            runTool("aria2c", aria2Command, true);
        }
        if (curl) {
            runTool("curl", curlCommand, true);
        }
    }
    // Verify-only: the set is complete (curl or the engine left it so).
    runEngine("engine", true);
    for (int run = 0; run < runs; ++run) {
        runEngine("verify-only", false);
        if (aria2) {
            runTool("aria2c -V", aria2Command, false);
        }
    }
    return 0;
}

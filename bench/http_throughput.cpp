// One large GET into a writer that discards, against `curl -s -o /dev/null` of the same URL, interleaved
// run by run so that both see the same machine load; medians of each.
//   http_throughput [--size-mib N] [--runs N] [--server nginx|nginx-tls|delivery]
// nginx-tls serves https with a certificate from an authority made for the run, which both clients trust.
// The file is sparse (the page cache serves it), so the figures measure the clients, not the disk. It lives
// in a scratch folder under the build tree and is removed at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/CurlHttpRequest.hpp"
#include "http/HttpWriteCallback.hpp"
#include "support/DeliveryService.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"

namespace {

class DiscardingWriter : public halcyne::HttpWriteCallback {
public:
    halcyne::HttpRequestStatus Write(const char*, std::size_t length) override {
        return halcyne::HttpRequestStatus::Written(length);
    }
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t sizeMib = 1024;
    int runs = 11;
    std::string server = "nginx";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--size-mib") {
            sizeMib = std::stoull(argv[i + 1]);
        } else if (arg == "--runs") {
            runs = std::stoi(argv[i + 1]);
        } else if (arg == "--server") {
            server = argv[i + 1];
        } else {
            std::cerr
                << "usage: http_throughput [--size-mib N] [--runs N] [--server nginx|nginx-tls|delivery]\n";
            return 2;
        }
    }
    const std::uint64_t size = sizeMib * 1024 * 1024;
    halcyne::test::ScratchFolder scratch;
    const std::string file = scratch / "packages/big.bin";
    ::mkdir((scratch / "packages").c_str(), 0700);
    const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        std::cerr << "cannot create " << file << "\n";
        return 1;
    }
    ::close(fd);

    std::unique_ptr<halcyne::test::TestCertificateAuthority> authority;
    std::unique_ptr<halcyne::test::NginxServer> nginx;
    std::string caBundle;  // "" for plain http
    std::unique_ptr<halcyne::test::LocalDeliveryService> delivery;
    std::string url;
    if (server == "delivery") {
        delivery = std::make_unique<halcyne::test::LocalDeliveryService>(
            halcyne::test::LocalDeliveryService::Options{.site = scratch.Path(), .nodes = 1});
        url = "http://" + delivery->NodeHost(0) + "/packages/big.bin";
    } else if (server == "nginx-tls") {
        authority = std::make_unique<halcyne::test::TestCertificateAuthority>("Benchmark CA");
        nginx = std::make_unique<halcyne::test::NginxServer>(
            scratch.Path(), halcyne::test::NginxOptions{.tls = authority->Issue("server", "IP:127.0.0.1")});
        url = "https://" + nginx->Host() + "/packages/big.bin";
        caBundle = authority->Bundle();
    } else {
        nginx = std::make_unique<halcyne::test::NginxServer>(scratch.Path());
        url = "http://" + nginx->Host() + "/packages/big.bin";
    }

    DiscardingWriter writer;
    auto engineRun = [&] {
        const auto start = std::chrono::steady_clock::now();
        halcyne::CurlHttpRequest request(halcyne::HttpRequestParams(url, &writer), "", caBundle);
        const halcyne::HttpRequestStatus status = request.Perform();
        const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
        if (status.result != halcyne::HttpRequestResult::Success || status.bytesWritten != size) {
            std::cerr << "engine GET failed: " << status.errorMessage << "\n";
            std::exit(1);
        }
        return elapsed;
    };
    auto curlRun = [&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::string> arguments = {"-s", "-o", "/dev/null", url};
        if (!caBundle.empty()) {
            arguments.insert(arguments.end(), {"--cacert", caBundle, "--http1.1"});
        }
        const auto result = halcyne::test::RunProgram("/usr/bin/curl", arguments);
        const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
        if (result.exitStatus != 0) {
            std::cerr << "curl failed with " << result.exitStatus << "\n";
            std::exit(1);
        }
        return elapsed;
    };

    engineRun();  // warm the page cache and both code paths
    curlRun();
    std::vector<double> engine;
    std::vector<double> curl;
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            engine.push_back(engineRun());
            curl.push_back(curlRun());
        } else {
            curl.push_back(curlRun());
            engine.push_back(engineRun());
        }
        std::printf("run %2d: engine %.3f s, curl %.3f s\n", i + 1, engine.back(), curl.back());
    }
    const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
    const double engineMedian = Median(engine);
    const double curlMedian = Median(curl);
    std::printf("%s, %.0f MiB, %d runs each (medians)\n", server.c_str(), mib, runs);
    std::printf("engine: %.3f s, %.0f MiB/s\n", engineMedian, mib / engineMedian);
    std::printf("curl:   %.3f s, %.0f MiB/s (process wall-clock)\n", curlMedian, mib / curlMedian);
    std::printf("engine throughput = %.1f%% of curl's\n", 100.0 * curlMedian / engineMedian);
    return 0;
}

// How long destroying the analytics manager takes with 1000 reports still queued, at the default
// time-outs (connect 10 s, request 10 s, 1 retry): to a healthy endpoint (everything is delivered), to a
// closed port and to a silent listener (connections are taken and never answered).
//   analytics_shutdown [--reports N]
// Target: each within analyticsTimeout + 1 s.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "events/EventsTestSupport.hpp"
#include "events/JsonHttpAnalyticsManager.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/TestSupport.hpp"

namespace {

using namespace halcyne;

struct Outcome {
    double seconds;       // destruction alone
    double totalSeconds;  // from the first submission to the end of destruction
    int requestsMade;
};

Outcome Measure(const std::string& url, int reports) {
    test::CountingRequestFactory factory;
    RoundRobinHttpSessionFactory sessions;
    EngineSettings settings;  // default time-outs and retry limit
    settings.eventAnalyticsUrl = url;
    settings.transferAnalyticsUrl = url;
    auto manager = std::make_unique<JsonHttpAnalyticsManager>(&factory, sessions.CreateSession(), settings);
    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < reports; ++i) {
        const auto work = manager->CreateEventWork(i % 2 == 0 ? 1 : 32);
        work->Tree().put("pid", "P");
        work->Tree().put("n", std::to_string(i));
        manager->Submit(work);
    }
    const auto start = std::chrono::steady_clock::now();
    manager.reset();
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - start).count(),
            std::chrono::duration<double>(end - first).count(), factory.Created()};
}

}  // namespace

int main(int argc, char** argv) {
    int reports = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reports") == 0) {
            reports = std::stoi(argv[i + 1]);
        }
    }
    const EngineSettings defaults;
    std::cout << "reports queued: " << reports << ", analyticsTimeout " << defaults.analyticsTimeout
              << " s, connect " << defaults.analyticsConnectTimeout << " s, retry limit "
              << defaults.analyticsRetryLimit << "\n";

    test::ScratchFolder scratch;
    std::filesystem::create_directories(scratch / "site");
    test::LocalDeliveryService service({.site = scratch / "site", .content = {}, .nodes = 1});
    const Outcome healthy = Measure(service.EventsUrl(), reports);
    const auto records = service.Records();
    std::cout << "healthy endpoint: " << healthy.seconds << " s (" << healthy.totalSeconds
              << " s from the first submission), delivered "
              << records.PostsTo("events").size() + records.PostsTo("transfers").size() << " of " << reports
              << "\n";

    const Outcome closed = Measure("http://127.0.0.1:" + std::to_string(test::ClosedPort()), reports);
    std::cout << "closed port:      " << closed.seconds << " s\n";

    test::SilentListener silent;
    const Outcome stalled = Measure(silent.Url(), reports);
    std::cout << "silent listener:  " << stalled.seconds << " s, requests made " << stalled.requestsMade
              << "\n";
    return 0;
}

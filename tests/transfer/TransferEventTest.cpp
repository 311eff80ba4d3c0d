#include <gtest/gtest.h>

#include "events/TransferEvent.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "transfer/TransferRig.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;

// A transfer's work interface and progress object, as the events see them.
struct EventRig {
    EventRig() {
        TransferParams params = services.Params();
        params.versionId = "V7";
        params.destPath = "/d";
        transfer = std::make_shared<StandardTransfer>(params, services.behavior, &services.workflows,
                                                      services.clock);
        wi = transfer->GetWorkInterface();
        progress = std::static_pointer_cast<TransferStatusImpl>(wi->GetProgressUpdater());
    }
    // Gives the interface a node list (as the node-list callback would) with recorded node traffic.
    void AddNodes() {
        InitializeTransfer(*transfer, MakePackage({1}), MakeNodeList({"a.test", "b.test:81"}));
        auto nodes = wi->GetNodeList()->GetNodes();
        nodes[0]->GetStatistics()->totalBytes.Add(300);
        nodes[0]->GetStatistics()->totalTimeMs.Add(1500);
        services.log.reports.Take();
        services.analytics.reports.Take();
    }

    TransferServices services;
    std::shared_ptr<StandardTransfer> transfer;
    std::shared_ptr<TransferWorkInterface> wi;
    std::shared_ptr<TransferStatusImpl> progress;
};

const std::string Ids = R"("pid":"P","pkgid":"K","vid":"V7")";
const std::string LogParams =
    R"("params":{"transferId":"0123456789abcdef0123456789abcdef","partnerId":"P","packageId":"K","versionId":"V7","destPath":"\/d"})";

std::string Simple(const std::string& counter) {
    return "{" + Ids + R"(,"metrics":{")" + counter + R"(":"1"},"dimensions":{}})" + "\n";
}

std::string Error(const std::string& counter, const std::string& text) {
    return "{" + Ids + R"(,"metrics":{")" + counter + R"(":"1"},"dimensions":{"error":")" + text + R"("}})";
}

std::string Transfer(const std::string& status, int bytes, const std::string& duration) {
    return "{" + Ids + R"(,"tid":"0123456789abcdef0123456789abcdef","status":")" + status +
           R"(","transferBytes":")" + std::to_string(bytes) + R"(","duration":")" + duration + "\"}\n";
}

std::string Node(const std::string& host, int bytes, const std::string& seconds) {
    return "{" + Ids + R"(,"metrics":{"bytes":")" + std::to_string(bytes) + R"(","requestTime":")" + seconds +
           R"("},"dimensions":{"cdn":")" + host + "\"}}";
}

std::string Array(const std::vector<std::string>& items) {
    std::string text = "[";
    for (const auto& item : items) {
        text += (text.size() > 1 ? "," : "") + (item.back() == '\n' ? item.substr(0, item.size() - 1) : item);
    }
    return text + "]\n";
}

std::string Log(const std::string& event) {
    return R"({"event":")" + event + "\"," + LogParams + "}\n";
}

TEST(TransferEventTest, EachKindSendsItsRequestsInOrderAndWritesItsLogEntry) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<TransferEvent>(EventRig&)> make;
        std::vector<Report> analytics;
        std::vector<Report> log;
    };
    auto simple = [](auto tag) {
        return [](EventRig& rig) -> std::unique_ptr<TransferEvent> {
            return std::make_unique<typename decltype(tag)::type>(rig.wi);
        };
    };
    auto withProgress = [](auto tag) {
        return [](EventRig& rig) -> std::unique_ptr<TransferEvent> {
            return std::make_unique<typename decltype(tag)::type>(rig.wi, *rig.progress);
        };
    };
    auto withError = [](auto tag) {
        return [](EventRig& rig) -> std::unique_ptr<TransferEvent> {
            return std::make_unique<typename decltype(tag)::type>(
                rig.wi, *rig.progress,
                std::make_shared<TransferErrorData>(TransferError::FileError, "disk gone"));
        };
    };
    const auto nodes = [](int bytes, const char* seconds) {
        return std::vector<std::string>{Node("a.test", bytes, seconds), Node("b.test:81", 0, "0")};
    };
    auto array = [&](std::string first, int bytes, const char* seconds) {
        std::vector<std::string> items{std::move(first)};
        for (auto& node : nodes(bytes, seconds)) {
            items.push_back(node);
        }
        return Array(items);
    };
    const Case cases[] = {
        {"Initialize",
         simple(std::type_identity<TransferInitializeEvent>()),
         {{1, Simple("numInitializes")}},
         {{1, Log("Initialize")}}},
        {"InitializeComplete",
         simple(std::type_identity<TransferInitializeCompleteEvent>()),
         {{1, Simple("numInitializeCompletes")}},
         {{1, Log("InitializeComplete")}}},
        {"Pause",
         simple(std::type_identity<TransferPauseEvent>()),
         {{1, Simple("numPauses")}},
         {{1, Log("Pause")}}},
        {"Resume",
         simple(std::type_identity<TransferResumeEvent>()),
         {{1, Simple("numResumes")}},
         {{1, Log("Resume")}}},
        {"Retry",
         simple(std::type_identity<TransferRetryEvent>()),
         {{1, Simple("numRetries")}},
         {{1, Log("Retry")}}},
        {"Start",
         simple(std::type_identity<TransferStartEvent>()),
         {{1, Simple("numStarts")}, {32, Transfer("active", 0, "0")}},
         {{1, Log("Start")}}},
        {"Restore",
         simple(std::type_identity<TransferRestoreEvent>()),
         {{1, Simple("numRestores")}, {32, Transfer("active", 0, "0")}},
         {{1, Log("Restore")}}},
        {"Complete",
         withProgress(std::type_identity<TransferCompleteEvent>()),
         {{32, Transfer("active", 1000, "2.5")}, {1, array(Simple("numCompletes"), 300, "1.5")}},
         {{1, Log("Complete")}}},
        {"Cancel",
         withProgress(std::type_identity<TransferCancelEvent>()),
         {{32, Transfer("active", 1000, "2.5")}, {1, array(Simple("numCancels"), 300, "1.5")}},
         {{1, Log("Cancel")}}},
        {"Suspend",
         withProgress(std::type_identity<TransferSuspendEvent>()),
         {{32, Transfer("suspended", 1000, "2.5")}, {1, array(Simple("numSuspends"), 300, "1.5")}},
         {{1, Log("Suspend")}}},
        {"RetryableError",
         withError(std::type_identity<TransferRetryableErrorEvent>()),
         {{32, Transfer("active", 1000, "2.5")},
          {1, array(Error("numRetryableErrors", "error|7|disk gone"), 300, "1.5")}},
         {{1, Log("RetryableError")}}},
        {"FatalError",
         withError(std::type_identity<TransferFatalErrorEvent>()),
         {{32, Transfer("active", 1000, "2.5")},
          {1, array(Error("numFatalErrors", "error|7|disk gone"), 300, "1.5")}},
         {{1, Log("FatalError")}}},
        {"PeriodicUpdate",
         withProgress(std::type_identity<TransferPeriodicEvent>()),
         {{32, Transfer("active", 1000, "2.5")}, {1, Array(nodes(300, "1.5"))}},
         {}},
    };
    for (const Case& c : cases) {
        EventRig rig;
        rig.AddNodes();
        // 1000 bytes and 2500 ms of transfer time not yet reported.
        rig.progress->AddTransferred(1000);
        rig.transfer->Start("/d");
        rig.transfer->GetStatus();
        rig.services.clock.Advance(2500);
        rig.transfer->GetStatus();
        rig.services.log.reports.Take();
        rig.services.analytics.reports.Take();
        auto event = c.make(rig);
        event->Fire();
        EXPECT_EQ(rig.services.analytics.reports.Take(), c.analytics) << c.name;
        EXPECT_EQ(rig.services.log.reports.Take(), c.log) << c.name;
    }
}

TEST(TransferEventTest, ErrorEventWithoutProgressOrNodesSendsOnlyTheOneElementArray) {
    EventRig rig;
    TransferFatalErrorEvent(rig.wi, *rig.progress,
                            std::make_shared<TransferErrorData>(TransferError::FileError, "x"))
        .Fire();
    EXPECT_EQ(rig.services.analytics.reports.Take(),
              (std::vector<Report>{{1, "[" + Error("numFatalErrors", "error|7|x") + "]\n"}}));
}

TEST(TransferEventTest, PeriodicEventsReportOnlyWhatHappenedBetweenThem) {
    EventRig rig;
    rig.AddNodes();
    TransferPeriodicEvent(rig.wi, *rig.progress).Fire();
    rig.services.analytics.reports.Take();
    TransferPeriodicEvent(rig.wi, *rig.progress).Fire();
    EXPECT_EQ(rig.services.analytics.reports.Take(),
              (std::vector<Report>{{32, Transfer("active", 0, "0")},
                                   {1, Array({Node("a.test", 0, "0"), Node("b.test:81", 0, "0")})}}));
    rig.wi->GetNodeList()->GetNodes()[1]->GetStatistics()->totalBytes.Add(5);
    TransferPeriodicEvent(rig.wi, *rig.progress).Fire();
    EXPECT_EQ(rig.services.analytics.reports.Take()[1].json,
              Array({Node("a.test", 0, "0"), Node("b.test:81", 5, "0")}));
}

}  // namespace
}  // namespace halcyne

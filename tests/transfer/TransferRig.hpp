// A transfer over a scripted workflow, with recording analytics and log managers, a recording file factory
// and a test clock: the tests drive the transfer's callbacks through its work interface.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "events/EventManager.hpp"
#include "events/JsonText.hpp"
#include "events/LogManager.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "support/RecordingFileFactory.hpp"
#include "transfer/StandardTransfer.hpp"
#include "transfer/TransferTestSupport.hpp"
#include "work/Workflow.hpp"

namespace halcyne::test {

// An event work that does nothing when run; the recording managers never run it.
class RecordedEventWork : public TrackEventWork {
public:
    using TrackEventWork::TrackEventWork;
    WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
    void Interrupt() override {}
};

// What a recording manager was given: the work's type and its tree in the JSON text form.
struct Report {
    std::int32_t type;
    std::string json;
    bool operator==(const Report&) const = default;
};

inline void PrintTo(const Report& report, std::ostream* out) {
    *out << report.type << " " << report.json;
}

class ReportList {
public:
    void Add(const TrackEventWork& work) {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({work.Type(), WriteJsonText(work.Tree())});
    }
    std::vector<Report> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(reports_, {});
    }

private:
    std::mutex mutex_;  // guards reports_
    std::vector<Report> reports_;
};

class RecordingAnalyticsManager : public AnalyticsManager {
public:
    RecordingAnalyticsManager() : AnalyticsManager(1) {}
    std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t type) override {
        return std::make_shared<RecordedEventWork>(type);
    }
    void Submit(std::shared_ptr<TrackEventWork> work) override {
        if (beforeSubmit) {
            beforeSubmit();
        }
        reports.Add(*work);
    }
    ReportList reports;
    std::function<void()> beforeSubmit;  // set before the transfer is used
};

class RecordingLogManager : public WorkLogManager {
public:
    RecordingLogManager() : WorkLogManager(-1, "logs", nullptr, {}) {}
    std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t type) override {
        return std::make_shared<RecordedEventWork>(type);
    }
    void Submit(std::shared_ptr<TrackEventWork> work) override { reports.Add(*work); }
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override {}
    void OnSimpleWorkRetry(std::shared_ptr<SimpleWork>, const WorkStatus&) override {}
    // The "event" of every entry, in order.
    std::vector<std::string> TakeEventNames() {
        std::vector<std::string> names;
        for (const Report& report : reports.Take()) {
            const auto at = report.json.find("\"event\":\"");
            const auto end = report.json.find('"', at + 9);
            names.push_back(report.json.substr(at + 9, end - at - 9));
        }
        return names;
    }
    ReportList reports;
};

// A workflow that does what it is told: every control returns `answer`, and Cancel reports the status to
// the transfer's completion callback as a cancelled tree would.
class ScriptedWorkflow : public Workflow {
public:
    explicit ScriptedWorkflow(std::shared_ptr<TransferWorkInterface> workInterface)
        : workInterface_(std::move(workInterface)) {}
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override {}
    bool Start() override { return Record("Start"); }
    bool Pause() override { return Record("Pause"); }
    bool Resume() override { return Record("Resume"); }
    bool Retry() override { return Record("Retry"); }
    std::uint8_t GetState() override { return 0; }
    bool IsStarted() override { return false; }
    bool IsPaused() override { return false; }
    bool IsWaitingRetry() override { return false; }
    bool IsFinished() override { return false; }
    bool Cancel(const WorkStatus& status) override {
        Record("Cancel");
        cancelStatus = status;
        workInterface_->GetTransferCallback()->OnWorkComplete(nullptr, status);
        return true;
    }
    void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) override {
        retryableErrorCallbacks.push_back(callback);
    }
    void QueueWork(std::shared_ptr<Work>) override {}
    void OnTaskComplete(std::shared_ptr<Work>, const WorkStatus&) override {}

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    std::atomic<bool> answer{true};
    WorkStatus cancelStatus{WorkResult::Success};
    std::vector<WorkflowRetryableErrorCallback*> retryableErrorCallbacks;

private:
    bool Record(const char* call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        return answer.load();
    }

    std::shared_ptr<TransferWorkInterface> workInterface_;
    std::mutex mutex_;  // guards calls_
    std::vector<std::string> calls_;
};

class ScriptedWorkflowFactory : public TransferWorkflowFactory {
public:
    std::shared_ptr<Workflow> Create(std::shared_ptr<TransferWorkInterface> workInterface) override {
        auto workflow = std::make_shared<ScriptedWorkflow>(std::move(workInterface));
        std::lock_guard<std::mutex> lock(mutex_);
        made.push_back(workflow);
        return workflow;
    }
    std::shared_ptr<ScriptedWorkflow> Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return made.empty() ? nullptr : made.back();
    }
    std::vector<std::shared_ptr<ScriptedWorkflow>> made;

private:
    std::mutex mutex_;  // guards made
};

// The services a transfer under test reaches through its behaviour.
struct TransferServices {
    TransferServices() {
        behavior.settings.periodicEventSeconds = 300;
        behavior.sharedFileFactory = &files;
        behavior.eventManager = &analytics;
        behavior.workLogManager = &log;
    }
    TransferParams Params() const {
        TransferParams params;
        params.transferId = "0123456789abcdef0123456789abcdef";
        params.partnerId = "P";
        params.packageId = "K";
        return params;
    }

    RecordingFileFactory files;
    RecordingAnalyticsManager analytics;
    RecordingLogManager log;
    ScriptedWorkflowFactory workflows;
    TestClock clock;
    TransferBehavior behavior;
};

inline WorkStatus PackageStatus(std::shared_ptr<PackageManifest> package) {
    return WorkStatus(WorkResult::Success, std::make_shared<PackageStatusData>(std::move(package)));
}

inline WorkStatus NodeListStatus(std::shared_ptr<NodeListManifest> nodeList) {
    return WorkStatus(WorkResult::Success, std::make_shared<NodeListStatusData>(std::move(nodeList)));
}

inline WorkStatus ErrorStatus(WorkResult result, TransferError error, const std::string& message = "broken") {
    return WorkStatus(result, std::make_shared<TransferErrorData>(error, message));
}

// Brings a new transfer to Initialized: Initialize, then the package, node list and initialize callbacks.
inline void InitializeTransfer(Transfer& transfer, const std::shared_ptr<PackageManifest>& package,
                               const std::shared_ptr<NodeListManifest>& nodeList) {
    transfer.Initialize();
    auto wi = transfer.GetWorkInterface();
    wi->GetPackageCallback()->OnWorkComplete(nullptr, PackageStatus(package));
    wi->GetNodeListCallback()->OnWorkComplete(nullptr, NodeListStatus(nodeList));
    wi->GetInitializeCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
}

}  // namespace halcyne::test

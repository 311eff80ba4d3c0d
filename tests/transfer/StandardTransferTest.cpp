#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "transfer/StandardTransfer.hpp"
#include "transfer/StoredTransfer.hpp"
#include "transfer/TransferRig.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;

enum class Start {
    Initializing,
    InitializingPaused,
    Initialized,
    Transferring,
    Paused,
    Suspended,
    Complete,
    Cancelled,
    Fatal,
    Retrying,
};

const char* Name(Start start) {
    static const char* names[] = {
        "Initializing", "InitializingPaused", "Initialized", "Transferring", "Paused",
        "Suspended",    "Complete",           "Cancelled",   "Fatal",        "Retrying"};
    return names[static_cast<int>(start)];
}

struct Rig {
    Rig() : package(MakePackage({100, 50})), nodeList(MakeNodeList({"a.test", "b.test"})) {
        transfer = std::make_shared<StandardTransfer>(services.Params(), services.behavior,
                                                      &services.workflows, services.clock);
    }
    std::shared_ptr<TransferWorkInterface> Wi() { return transfer->GetWorkInterface(); }

    void BringTo(Start start) {
        switch (start) {
            case Start::Initializing:
                break;
            case Start::InitializingPaused:
                transfer->Initialize();
                transfer->Pause();
                break;
            case Start::Initialized:
                InitializeTransfer(*transfer, package, nodeList);
                break;
            case Start::Transferring:
                InitializeTransfer(*transfer, package, nodeList);
                transfer->Start("/dest");
                break;
            case Start::Paused:
                BringTo(Start::Transferring);
                transfer->Pause();
                break;
            case Start::Suspended:
                BringTo(Start::Transferring);
                transfer->Suspend();
                break;
            case Start::Complete: {
                BringTo(Start::Transferring);
                auto progress = Wi()->GetProgressUpdater();
                progress->AddProgress(150);
                progress->AddVerified(150);
                Wi()->GetTransferCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
                break;
            }
            case Start::Cancelled:
                BringTo(Start::Transferring);
                transfer->Cancel(false);
                break;
            case Start::Fatal:
                BringTo(Start::Transferring);
                Wi()->GetTransferCallback()->OnWorkComplete(
                    nullptr, ErrorStatus(WorkResult::Error, TransferError::FileError));
                break;
            case Start::Retrying: {
                BringTo(Start::Transferring);
                auto workflow = services.workflows.Last();
                Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
                    workflow, nullptr,
                    ErrorStatus(WorkResult::RetryableError, TransferError::ConnectionError));
                break;
            }
        }
        services.log.reports.Take();
        services.analytics.reports.Take();
    }

    TransferServices services;
    std::shared_ptr<PackageManifest> package;
    std::shared_ptr<NodeListManifest> nodeList;
    std::shared_ptr<StandardTransfer> transfer;
};

enum class Request { Initialize, Start, Pause, Resume, Retry, Cancel, Suspend, Restore };

TransferStatus Apply(Transfer& transfer, Request request) {
    switch (request) {
        case Request::Initialize:
            return transfer.Initialize();
        case Request::Start:
            return transfer.Start("/dest");
        case Request::Pause:
            return transfer.Pause();
        case Request::Resume:
            return transfer.Resume();
        case Request::Retry:
            return transfer.Retry();
        case Request::Cancel:
            return transfer.Cancel(false);
        case Request::Suspend:
            return transfer.Suspend();
        case Request::Restore:
            return transfer.Restore();
    }
    return {};
}

TEST(StandardTransferTest, EveryRequestInEveryStateGivesTheTablesStateAndEvent) {
    using S = TransferState;
    using R = Request;
    struct Case {
        Start from;
        Request request;
        TransferState state;  // after the request
        TransferError error;
        const char* event;  // "" when none
    };
    const TransferError N = TransferError::None;
    const TransferError F = TransferError::FileError;
    const TransferError C = TransferError::ConnectionError;
    const Case cases[] = {
        {Start::Initializing, R::Initialize, S::Initializing, N, "Initialize"},
        {Start::Initializing, R::Start, S::Initializing, N, ""},
        {Start::Initializing, R::Pause, S::InitializingPaused, N, "Pause"},
        {Start::Initializing, R::Resume, S::Initializing, N, ""},
        {Start::Initializing, R::Retry, S::Initializing, N, ""},
        {Start::Initializing, R::Cancel, S::Cancelled, N, "Cancel"},
        {Start::Initializing, R::Suspend, S::Cancelled, N, "Cancel"},
        {Start::Initializing, R::Restore, S::Initializing, N, ""},
        {Start::InitializingPaused, R::Initialize, S::InitializingPaused, N, ""},
        {Start::InitializingPaused, R::Pause, S::InitializingPaused, N, ""},
        {Start::InitializingPaused, R::Resume, S::Initializing, N, "Resume"},
        {Start::InitializingPaused, R::Suspend, S::Cancelled, N, "Cancel"},
        {Start::Initialized, R::Initialize, S::Initialized, N, ""},
        {Start::Initialized, R::Start, S::Transferring, N, "Start"},
        {Start::Initialized, R::Pause, S::Initialized, N, ""},
        {Start::Initialized, R::Resume, S::Initialized, N, ""},
        {Start::Initialized, R::Suspend, S::Cancelled, N, "Cancel"},
        {Start::Initialized, R::Cancel, S::Cancelled, N, "Cancel"},
        {Start::Transferring, R::Start, S::Transferring, N, ""},
        {Start::Transferring, R::Pause, S::Paused, N, "Pause"},
        {Start::Transferring, R::Resume, S::Transferring, N, ""},
        {Start::Transferring, R::Retry, S::Transferring, N, ""},
        {Start::Transferring, R::Cancel, S::Cancelled, N, "Cancel"},
        {Start::Transferring, R::Suspend, S::Suspended, N, "Suspend"},
        {Start::Transferring, R::Restore, S::Transferring, N, ""},
        {Start::Paused, R::Pause, S::Paused, N, ""},
        {Start::Paused, R::Resume, S::Transferring, N, "Resume"},
        {Start::Paused, R::Suspend, S::Suspended, N, "Suspend"},
        {Start::Paused, R::Cancel, S::Cancelled, N, "Cancel"},
        {Start::Suspended, R::Restore, S::Initializing, N, "Restore"},
        {Start::Suspended, R::Cancel, S::Suspended, N, ""},
        {Start::Suspended, R::Suspend, S::Suspended, N, ""},
        {Start::Suspended, R::Initialize, S::Suspended, N, ""},
        {Start::Suspended, R::Resume, S::Suspended, N, ""},
        {Start::Complete, R::Suspend, S::Suspended, N, ""},
        {Start::Complete, R::Cancel, S::Complete, N, ""},
        {Start::Complete, R::Pause, S::Complete, N, ""},
        {Start::Complete, R::Restore, S::Complete, N, ""},
        {Start::Cancelled, R::Cancel, S::Cancelled, N, ""},
        {Start::Cancelled, R::Suspend, S::Cancelled, N, ""},
        {Start::Cancelled, R::Restore, S::Cancelled, N, ""},
        {Start::Cancelled, R::Resume, S::Cancelled, N, ""},
        {Start::Fatal, R::Cancel, S::Transferring, F, ""},
        {Start::Fatal, R::Suspend, S::Transferring, F, ""},
        {Start::Fatal, R::Retry, S::Transferring, F, ""},
        {Start::Fatal, R::Pause, S::Transferring, F, ""},
        {Start::Retrying, R::Retry, S::Transferring, N, "Retry"},
        {Start::Retrying, R::Pause, S::Paused, C, "Pause"},
        {Start::Retrying, R::Cancel, S::Cancelled, C, "Cancel"},
        {Start::Retrying, R::Suspend, S::Suspended, N, "Suspend"},
        {Start::Retrying, R::Start, S::Transferring, C, ""},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.BringTo(c.from);
        const TransferStatus after = Apply(*rig.transfer, c.request);
        const std::string where = std::string(Name(c.from)) + " request " + std::to_string(int(c.request));
        EXPECT_EQ(after.state, c.state) << where;
        EXPECT_EQ(after.error, c.error) << where;
        const auto events = rig.services.log.TakeEventNames();
        if (*c.event == '\0') {
            EXPECT_TRUE(events.empty()) << where;
            EXPECT_TRUE(rig.services.analytics.reports.Take().empty()) << where;
        } else {
            EXPECT_EQ(events, std::vector<std::string>{c.event}) << where;
        }
        EXPECT_EQ(rig.transfer->GetStatus().state, c.state) << where;
    }
}

TEST(StandardTransferTest, ARefusedWorkflowControlChangesNothing) {
    for (Request request : {Request::Initialize, Request::Pause, Request::Retry}) {
        Rig rig;
        rig.BringTo(request == Request::Retry ? Start::Retrying : Start::Initializing);
        rig.services.workflows.Last()->answer = false;
        const TransferStatus before = rig.transfer->GetStatus();
        const TransferStatus after = Apply(*rig.transfer, request);
        EXPECT_EQ(after.state, before.state);
        EXPECT_EQ(after.error, before.error);
        EXPECT_TRUE(rig.services.log.TakeEventNames().empty());
    }
}

TEST(StandardTransferTest, StartChecksTheDestination) {
    struct Case {
        const char* stored;  // the params' destination
        const char* given;
        TransferState state;
        const char* dest;  // after
    };
    const Case cases[] = {
        {"?", "?", TransferState::Initialized, "?"},    {"/a", "/b", TransferState::Initialized, "/a"},
        {"/a", "?", TransferState::Transferring, "/a"}, {"/a", "/a", TransferState::Transferring, "/a"},
        {"?", "/b", TransferState::Transferring, "/b"},
    };
    for (const Case& c : cases) {
        TransferServices services;
        TransferParams params = services.Params();
        params.destPath = c.stored;
        StandardTransfer transfer(params, services.behavior, &services.workflows);
        EXPECT_EQ(transfer.Start(c.given).state, TransferState::Initializing);  // not yet initialized
        InitializeTransfer(transfer, MakePackage({1}), MakeNodeList({"a.test"}));
        const TransferStatus status = transfer.Start(c.given);
        EXPECT_EQ(status.state, c.state) << c.stored << " " << c.given;
        EXPECT_EQ(status.destPath, c.dest) << c.stored << " " << c.given;
    }
}

TEST(StandardTransferTest, EveryFailReportsItsMessageOnceAndTheCancellationChangesNothing) {
    struct Case {
        const char* message;
        TransferError kind;
        std::function<void(Rig&)> provoke;
    };
    auto callback = [](auto get, WorkStatus status) {
        return [get, status](Rig& rig) { (rig.Wi().get()->*get)()->OnWorkComplete(nullptr, status); };
    };
    using WI = TransferWorkInterface;
    const WorkStatus success(WorkResult::Success);
    const Case cases[] = {
        {"Transfer::OnWorkComplete called with Success result but progress is not complete",
         TransferError::InternalError, callback(&WI::GetTransferCallback, success)},
        {"Transfer::OnWorkComplete called with error result but data is not TransferStatusData",
         TransferError::InternalError,
         callback(&WI::GetTransferCallback, WorkStatus(WorkResult::Error, MakeWorkErrorData("x")))},
        {"Transfer::OnWorkComplete called with error result but data->ToTransferError() is None",
         TransferError::InternalError,
         callback(&WI::GetTransferCallback, ErrorStatus(WorkResult::Failure, TransferError::None))},
        {"Transfer::OnPackageAcquire called but transfer is not initializing", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetPackageCallback()->OnWorkComplete(nullptr, PackageStatus(rig.package));
         }},
        {"Transfer::OnPackageAcquire called but data is not PackageStatusData or package is null",
         TransferError::InternalError,
         [](Rig& rig) { rig.Wi()->GetPackageCallback()->OnWorkComplete(nullptr, PackageStatus(nullptr)); }},
        {"Transfer::OnPackageAcquire called but package does not match ids", TransferError::ManifestError,
         [](Rig& rig) {
             rig.Wi()->GetPackageCallback()->OnWorkComplete(nullptr,
                                                            PackageStatus(MakePackage({1}, "Other")));
         }},
        {"Transfer::OnNodeListAcquire called but transfer is not initializing", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetNodeListCallback()->OnWorkComplete(nullptr, NodeListStatus(rig.nodeList));
         }},
        {"Transfer::OnNodeListAcquire called but data is not NodeListStatusData or nodelist is null",
         TransferError::InternalError, callback(&WI::GetNodeListCallback, success)},
        {"Transfer::OnInitialize called but transfer is not initializing", TransferError::InternalError,
         callback(&WI::GetInitializeCallback, success)},
        {"Transfer::OnInitialize called but package is missing", TransferError::InternalError,
         callback(&WI::GetInitializeCallback, success)},
        {"Transfer::OnInitialize called but nodelist is missing", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetPackageCallback()->OnWorkComplete(nullptr, PackageStatus(rig.package));
             rig.Wi()->GetInitializeCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
         }},
        {"Transfer::OnWorkflowRetryableError called on wrong workflow", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
                 nullptr, nullptr, ErrorStatus(WorkResult::RetryableError, TransferError::ConnectionError));
         }},
        {"Transfer::OnWorkflowRetryableError called with incorrect status", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
                 rig.services.workflows.Last(), nullptr,
                 ErrorStatus(WorkResult::Error, TransferError::FileError));
         }},
        {"Transfer::OnWorkflowRetryableError called with invalid data", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
                 rig.services.workflows.Last(), nullptr, WorkStatus(WorkResult::RetryableError));
         }},
        {"Transfer::OnWorkflowRetryableError called with TransferError::None", TransferError::InternalError,
         [](Rig& rig) {
             rig.Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
                 rig.services.workflows.Last(), nullptr,
                 ErrorStatus(WorkResult::RetryableError, TransferError::None));
         }},
    };
    // Where each case starts: the "not initializing" cases from Transferring, the first from Transferring
    // too (progress incomplete), the others while initializing.
    for (const Case& c : cases) {
        Rig rig;
        const std::string message = c.message;
        const bool fromTransferring = message.find("not initializing") != std::string::npos ||
                                      message.find("progress is not complete") != std::string::npos ||
                                      message.find("OnWorkComplete") != std::string::npos ||
                                      message.find("OnWorkflowRetryableError") != std::string::npos;
        rig.BringTo(fromTransferring ? Start::Transferring : Start::Initializing);
        if (!fromTransferring) {
            rig.transfer->Initialize();
            rig.services.log.reports.Take();
            rig.services.analytics.reports.Take();
        }
        auto workflow = rig.services.workflows.Last();
        const TransferState state = rig.transfer->GetStatus().state;
        c.provoke(rig);
        const TransferStatus status = rig.transfer->GetStatus();
        EXPECT_EQ(status.state, state) << c.message;
        EXPECT_EQ(status.error, c.kind) << c.message;
        EXPECT_FALSE(status.retrying) << c.message;
        EXPECT_EQ(rig.services.log.TakeEventNames(), std::vector<std::string>{"FatalError"}) << c.message;
        // The error request carries the message, as error|kind|message.
        const std::string errorText = "error|" + ToDecimal(c.kind) + "|" + c.message;
        bool found = false;
        for (const Report& report : rig.services.analytics.reports.Take()) {
            found = found || report.json.find(errorText) != std::string::npos;
        }
        EXPECT_TRUE(found) << c.message;
        // The workflow was cancelled with Error and that status; its completion came back and changed
        // nothing.
        ASSERT_EQ(workflow->Calls().back(), "Cancel") << c.message;
        EXPECT_EQ(workflow->cancelStatus.result, WorkResult::Error);
        // Later completions change nothing either.
        rig.Wi()->GetTransferCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
        EXPECT_EQ(rig.transfer->GetStatus().error, c.kind);
        EXPECT_TRUE(rig.services.log.TakeEventNames().empty()) << c.message;
    }
}

TEST(StandardTransferTest, WorkFailureIsFatalAndRetryableErrorWaitsForRetry) {
    Rig rig;
    rig.BringTo(Start::Retrying);
    // A second retryable error while the first is pending is ignored.
    rig.Wi()->GetRetryableErrorCallback()->OnWorkflowRetryableError(
        rig.services.workflows.Last(), nullptr,
        ErrorStatus(WorkResult::RetryableError, TransferError::FileError));
    TransferStatus status = rig.transfer->GetStatus();
    EXPECT_EQ(status.error, TransferError::ConnectionError);
    EXPECT_TRUE(status.retrying);
    EXPECT_TRUE(rig.services.log.TakeEventNames().empty());
    status = rig.transfer->Retry();
    EXPECT_EQ(status.error, TransferError::None);
    EXPECT_FALSE(status.retrying);
    // The root's Failure with transfer data records the kind and stops the workflow.
    auto workflow = rig.services.workflows.Last();
    rig.Wi()->GetTransferCallback()->OnWorkComplete(
        nullptr, ErrorStatus(WorkResult::Failure, TransferError::ChecksumMismatch));
    status = rig.transfer->GetStatus();
    EXPECT_EQ(status.error, TransferError::ChecksumMismatch);
    EXPECT_EQ(status.state, TransferState::Transferring);
    EXPECT_EQ(workflow->Calls().back(), "Pause");
    EXPECT_EQ(rig.services.log.TakeEventNames(), (std::vector<std::string>{"Retry", "FatalError"}));
}

TEST(StandardTransferTest, SuspendDetachesTheOldTreeAndReportsTheOldProgress) {
    Rig rig;
    rig.BringTo(Start::Transferring);
    auto oldWi = rig.Wi();
    auto oldProgress = oldWi->GetProgressUpdater();
    oldProgress->AddTransferred(1234);
    oldProgress->AddProgress(100);
    const TransferStatus status = rig.transfer->Suspend();
    EXPECT_EQ(status.state, TransferState::Suspended);
    EXPECT_EQ(status.transferredBytes, 0u);
    EXPECT_EQ(status.progressBytes, 0u);
    EXPECT_EQ(status.totalBytes, 0u);
    EXPECT_EQ(status.destPath, "/dest");
    EXPECT_EQ(rig.services.log.TakeEventNames(), std::vector<std::string>{"Suspend"});
    bool reported = false;
    for (const Report& report : rig.services.analytics.reports.Take()) {
        if (report.type == 32) {
            EXPECT_NE(report.json.find("\"status\":\"suspended\""), std::string::npos);
            EXPECT_NE(report.json.find("\"transferBytes\":\"1234\""), std::string::npos) << report.json;
            reported = true;
        }
    }
    EXPECT_TRUE(reported);
    // The old tree no longer reaches the transfer.
    oldWi->GetTransferCallback()->OnWorkComplete(nullptr,
                                                 ErrorStatus(WorkResult::Error, TransferError::FileError));
    oldWi->GetRetryableErrorCallback()->OnWorkflowRetryableError(
        nullptr, nullptr, ErrorStatus(WorkResult::RetryableError, TransferError::FileError));
    oldWi->OnFileCreated("f0");
    EXPECT_EQ(rig.transfer->GetStatus().error, TransferError::None);
    EXPECT_TRUE(rig.services.log.TakeEventNames().empty());
    // A file recorded by the old data is not deleted by a later cancel; the new data deletes what it records.
    rig.transfer->Restore();
    rig.Wi()->OnFileCreated("f1");
    rig.transfer->Cancel(true);
    EXPECT_EQ(rig.services.files.Calls(), std::vector<std::string>{"delete /dest f1"});
}

TEST(StandardTransferTest, CancelDeletesRecordedFilesAndThoseReportedLater) {
    struct Case {
        Start from;
        bool deletes;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {Start::Transferring, true, {"Cancel"}},
        {Start::Complete, true, {}},
        {Start::Fatal, true, {}},
        {Start::Suspended, false, {}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.BringTo(Start::Transferring);
        rig.Wi()->OnFileCreated("f0");
        switch (c.from) {
            case Start::Complete:
                rig.Wi()->GetProgressUpdater()->AddProgress(150);
                rig.Wi()->GetProgressUpdater()->AddVerified(150);
                rig.Wi()->GetTransferCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
                break;
            case Start::Fatal:
                rig.Wi()->GetTransferCallback()->OnWorkComplete(
                    nullptr, ErrorStatus(WorkResult::Error, TransferError::FileError));
                break;
            case Start::Suspended:
                rig.transfer->Suspend();
                break;
            default:
                break;
        }
        rig.services.log.reports.Take();
        const TransferState state = rig.transfer->GetStatus().state;
        const TransferStatus status = rig.transfer->Cancel(true);
        rig.Wi()->OnFileCreated("f1");
        EXPECT_EQ(status.state, c.from == Start::Transferring ? TransferState::Cancelled : state)
            << Name(c.from);
        EXPECT_EQ(rig.services.log.TakeEventNames(), c.events) << Name(c.from);
        const std::vector<std::string> deleted =
            c.deletes ? std::vector<std::string>{"delete /dest f0", "delete /dest f1"}
                      : std::vector<std::string>{};
        EXPECT_EQ(rig.services.files.Calls(), deleted) << Name(c.from);
    }
}

TEST(StandardTransferTest, NoFileIsDeletedAgainstTheMissingDestination) {
    Rig rig;
    rig.BringTo(Start::Initialized);
    rig.Wi()->OnFileCreated("f0");
    rig.transfer->Cancel(true);
    rig.Wi()->OnFileCreated("f1");
    EXPECT_TRUE(rig.services.files.Calls().empty());
}

TEST(StandardTransferTest, PeriodicEventComesFromStatusQueriesAfterTheInterval) {
    Rig rig;
    rig.services.behavior.settings.periodicEventSeconds = 1;
    rig.transfer = std::make_shared<StandardTransfer>(rig.services.Params(), rig.services.behavior,
                                                      &rig.services.workflows, rig.services.clock);
    rig.BringTo(Start::Transferring);
    rig.Wi()->GetProgressUpdater()->AddTransferred(10);
    rig.transfer->GetStatus();
    rig.services.clock.Advance(1000);
    rig.transfer->GetStatus();  // 1000 ms untaken: not more than the interval
    EXPECT_TRUE(rig.services.analytics.reports.Take().empty());
    rig.services.clock.Advance(1);
    rig.transfer->GetStatus();  // accumulates 1 ms: 1001 untaken
    EXPECT_TRUE(rig.services.analytics.reports.Take().empty());
    rig.transfer->GetStatus();  // now fires, and takes the deltas
    const auto reports = rig.services.analytics.reports.Take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].type, 32);
    EXPECT_NE(reports[0].json.find("\"transferBytes\":\"10\""), std::string::npos) << reports[0].json;
    EXPECT_EQ(reports[1].type, 1);
    EXPECT_TRUE(rig.services.log.TakeEventNames().empty());  // never logged
    rig.transfer->GetStatus();
    EXPECT_TRUE(rig.services.analytics.reports.Take().empty());
}

TEST(StandardTransferTest, HasEnoughSpaceOnlyWhenInitialized) {
    Rig rig;
    EXPECT_FALSE(rig.transfer->HasEnoughSpace("/"));
    rig.BringTo(Start::Initialized);
    EXPECT_TRUE(rig.transfer->HasEnoughSpace("/"));
    EXPECT_FALSE(rig.transfer->HasEnoughSpace("/no/such/folder/at/all"));
    rig.transfer->Start("/dest");
    EXPECT_FALSE(rig.transfer->HasEnoughSpace("/"));
}

TEST(StandardTransferTest, NodeReportIsAnEmptyArrayWithoutNodes) {
    Rig rig;
    EXPECT_EQ(rig.transfer->GetNodeReport(), "[]");
    rig.BringTo(Start::Initialized);
    const std::string report = rig.transfer->GetNodeReport();
    EXPECT_EQ(report.front(), '[');
    EXPECT_NE(report.find("\"Node\":\"a.test\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"Node\":\"b.test\""), std::string::npos) << report;
}

TEST(StandardTransferTest, NoDeadlockWhenSubmitWaitsForAnotherThreadsStatusQuery) {
    Rig rig;
    std::mutex mutex;
    std::condition_variable changed;
    bool queried = false;
    std::thread other;
    rig.services.analytics.beforeSubmit = [&] {
        if (other.joinable()) {
            return;
        }
        other = std::thread([&] {
            rig.transfer->GetStatus();
            std::lock_guard<std::mutex> lock(mutex);
            queried = true;
            changed.notify_all();
        });
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return queried; });
    };
    rig.transfer->Initialize();
    other.join();
    EXPECT_TRUE(queried);
}

// The workflow may complete the initialization on a work thread while the Initialize event is still being
// fired: its InitializeComplete must still come second, in the log and in the analytics.
TEST(StandardTransferTest, EventsOfChangesMadeOnOtherThreadsKeepTheOrderOfTheChanges) {
    Rig rig;
    std::mutex mutex;
    std::condition_variable changed;
    bool initialized = false;
    bool first = true;
    std::thread other;
    rig.services.analytics.beforeSubmit = [&] {
        if (!std::exchange(first, false)) {
            return;
        }
        other = std::thread([&] {
            auto wi = rig.Wi();
            wi->GetPackageCallback()->OnWorkComplete(nullptr, PackageStatus(rig.package));
            wi->GetNodeListCallback()->OnWorkComplete(nullptr, NodeListStatus(rig.nodeList));
            wi->GetInitializeCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
            std::lock_guard<std::mutex> lock(mutex);
            initialized = true;
            changed.notify_all();
        });
        // Gives the other thread the time to fire its event first if nothing holds it back.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return initialized; });
    };
    rig.transfer->Initialize();
    other.join();
    EXPECT_EQ(rig.transfer->GetStatus().state, TransferState::Initialized);
    EXPECT_EQ(rig.services.log.TakeEventNames(),
              (std::vector<std::string>{"Initialize", "InitializeComplete"}));
    const auto reports = rig.services.analytics.reports.Take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].json.find("numInitializes"), std::string::npos) << reports[0].json;
    EXPECT_NE(reports[1].json.find("numInitializeCompletes"), std::string::npos) << reports[1].json;
}

TEST(StoredTransferTest, SavesOnlyOnASuccessfulStartAndRemovesOnCancel) {
    struct MemoryStore : ManifestStore<TransferManifest> {
        bool Load(const std::string&, TransferManifest&) override { return false; }
        bool Save(const std::string& id, const TransferManifest& manifest) override {
            calls.push_back("save " + id + " " + manifest.params.destPath);
            return true;
        }
        bool Remove(const std::string& id) override {
            calls.push_back("remove " + id);
            return true;
        }
        std::vector<std::string> calls;
    };
    TransferServices services;
    const std::string id = services.Params().transferId;
    {
        MemoryStore store;
        StoredTransfer transfer(services.Params(), services.behavior, &services.workflows, &store);
        transfer.Start("/d");  // not initialized: no save
        InitializeTransfer(transfer, MakePackage({1}), MakeNodeList({"a.test"}));
        transfer.Start("/d");
        transfer.Start("/d");  // no longer applies: no second save
        EXPECT_EQ(store.calls, std::vector<std::string>{"save " + id + " /d"});
        transfer.Suspend();
        transfer.Cancel(true);  // cleanly suspended: kept
        EXPECT_EQ(store.calls.size(), 1u);
        transfer.Restore();
        transfer.Cancel(false);
        EXPECT_EQ(store.calls.back(), "remove " + id);
    }
}

}  // namespace
}  // namespace halcyne

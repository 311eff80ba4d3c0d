// The updater's dialog over scripted transfers, the real transfer monitor in fake time and a recording view:
// the update sequence in both completion orders, every message with its caption and detail line, the
// automatic retries and the player's retry, one message per run, and nothing shown once the dialog has
// ended.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "app/CatalogLocale.hpp"
#include "app/Dialog.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"
#include "app/StringTable.hpp"
#include "support/RecordingDialogView.hpp"
#include "support/ScriptedTransfers.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

using test::Status;
using S = TransferState;
using E = TransferError;

const std::string Caption = "Emberline Downloader";
const std::string ErrorCaption = "Emberline Downloader Error";
const std::string Calculating = "Calculating time remaining";

// Each transfer's run file has an identity of its own.
TransferStatus Complete(const std::string& id, const std::string& runPath) {
    TransferStatus status = Status(id, S::Complete);
    status.runPath = runPath;
    status.runFile = {id.size(), std::hash<std::string>()(id), 1};
    return status;
}

TransferStatus Progress(const std::string& id, std::uint64_t progress, std::uint64_t total, int seconds) {
    TransferStatus status = Status(id, S::Transferring);
    status.progressBytes = progress;
    status.totalBytes = total;
    status.secondsRemaining = seconds;
    return status;
}

// Everything one run of the dialog needs; the dialog runs on its own thread, as on the interface thread.
class DialogRun {
public:
    explicit DialogRun(bool languages = false) {
        configuration =
            std::make_unique<UpdaterConfiguration>(test::DialogStringTable(languages), 0, nullptr);
        catalog.AddAllCatalogs();
        locale = std::make_unique<CatalogLocale>(catalog, "");
        if (languages) {
            locale->SetLanguage(configuration->DefaultLanguage());
        }
        monitor = std::make_unique<TransferMonitorImpl>(&engine, &clock);
        // The dialog counts its pauses in the monitor's fake time.
        options.clock = [this] { return clock.NowMs(); };
        options.workLogPath = [] { return std::string("/logs/Log.txt"); };
    }
    ~DialogRun() {
        if (runner_.joinable()) {
            view.PressClose();
            runner_.join();
        }
        StopMonitor();
        Dialog::DestroySingleton();
    }

    Dialog& Create() {
        monitor->Start();
        return Dialog::CreateSingleton(
            view, engine, &monitor, *locale, *configuration,
            [this](const std::string& downloader, const FileIdentity& runFile, const std::string& skin) {
                launches.push_back(downloader + " " + skin);
                launchedRunFiles.push_back(runFile);
                return launchSucceeds.load();
            },
            options);
    }
    Dialog& Start() {
        Dialog& dialog = Create();
        runner_ = std::thread([&dialog] { dialog.Run(); });
        return dialog;
    }
    // Waits until the loop has ended, then stops the monitor.
    void WaitForEnd() {
        ASSERT_TRUE(view.WaitForLine("Closed"));
        runner_.join();
        StopMonitor();
    }
    // Joins the monitor's thread before the pointer that its callbacks read changes (reset writes it first).
    void StopMonitor() {
        if (monitor) {
            monitor->Stop();
        }
        monitor.reset();
    }
    std::vector<std::string> Errors() const {
        std::vector<std::string> errors;
        for (const std::string& line : view.Lines()) {
            if (line.rfind("Error ", 0) == 0) {
                errors.push_back(line);
            }
        }
        return errors;
    }
    // The lines of the view that start with `prefix`.
    std::vector<std::string> LinesOf(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& line : view.Lines()) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    std::vector<std::string> Starts() const {
        std::vector<std::string> starts;
        for (const auto& call : engine.Calls()) {
            if (call.operation != "GetTransferStatus") {
                std::string line = call.operation;
                for (const std::string& argument : call.arguments) {
                    line += " " + argument;
                }
                starts.push_back(line);
            }
        }
        return starts;
    }

    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp{"TMPDIR", scratch.Path()};
    test::ScopedEnvironment language{"LC_ALL", "C"};
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    test::RecordingDialogView view;
    DialogOptions options;  // no automatic retries unless a test sets pauses
    EmbeddedMessageCatalog catalog{"updater"};
    std::unique_ptr<UpdaterConfiguration> configuration;
    std::unique_ptr<CatalogLocale> locale;
    std::unique_ptr<TransferMonitorImpl> monitor;
    std::vector<std::string> launches;           // written on the monitor thread, read after it stopped
    std::vector<FileIdentity> launchedRunFiles;  // the same
    std::atomic<bool> launchSucceeds{true};

private:
    std::thread runner_;
};

std::string DataFolder(const DialogRun& run) {
    return run.scratch.Path() + "/Vantrel Technologies/Halcyne";
}

TEST(DialogTest, LaunchesWhenTheSecondTransferCompletesWhicheverItIs) {
    for (const bool downloaderFirst : {true, false}) {
        SCOPED_TRACE(downloaderFirst ? "downloader first" : "skin first");
        DialogRun run;
        run.engine.Script("DK-id",
                          {Status("DK-id", S::Initialized), Progress("DK-id", 50, 200, 65),
                           Progress("DK-id", 300, 200, 1), Progress("DK-id", 5, 0, -1),
                           downloaderFirst ? Complete("DK-id", "bin/run.sh") : Progress("DK-id", 200, 200, 0),
                           Complete("DK-id", "bin/run.sh")});
        run.engine.Script(
            "skin-id",
            {Status("skin-id", S::Initialized), Progress("skin-id", 7, 10, 3),
             downloaderFirst ? Progress("skin-id", 7, 10, 3) : Complete("skin-id", "skin.run"),
             Progress("skin-id", 8, 10, 2), Progress("skin-id", 8, 10, 2), Complete("skin-id", "skin.run")});
        Dialog& dialog = run.Start();
        run.WaitForEnd();
        EXPECT_EQ(dialog.Outcome(), DialogOutcome::Launched);
        EXPECT_EQ(ExitStatus(dialog.Outcome()), 0);
        EXPECT_EQ(run.launches, std::vector<std::string>{"bin/run.sh skin.run"});
        // The downloader's run file as its transfer verified it, not the skin's.
        ASSERT_EQ(run.launchedRunFiles.size(), 1u);
        EXPECT_TRUE(run.launchedRunFiles[0].SameFile(Complete("DK-id", "").runFile));
        EXPECT_EQ(run.Starts(),
                  (std::vector<std::string>{"StartTransfer DP DK ?", "StartTransfer GP skin ?",
                                            "StartTransferInto DK-id " + DataFolder(run),
                                            "StartTransferInto skin-id " + DataFolder(run) + "/skin"}));
        // Only the downloader's progress moves the bar; above 100 % stays above, no total gives 0.
        std::vector<std::string> expected = {"Texts " + Caption + " | " + Calculating, "ProgressView",
                                             "Progress 25 2 minutes remaining",
                                             "Progress 150 1 second remaining", "Progress 0 " + Calculating};
        if (!downloaderFirst) {
            expected.push_back("Progress 100 0 seconds remaining");
        }
        expected.insert(expected.end(), {"LaunchView Launching Emberline Downloader", "Close", "Closed"});
        EXPECT_EQ(run.view.Lines(), expected);
    }
}

TransferStatus Failing(const std::string& id, E error, bool retrying, const std::string& cause = "") {
    TransferStatus status = Status(id, S::Transferring, error, retrying);
    status.errorCause = cause;
    return status;
}

TEST(DialogTest, EveryTransferErrorShowsItsMessageAndDetailOnceAndEndsTheRun) {
    struct Row {
        E error;
        bool retrying;         // the transfer waits for a retry
        std::string message;   // the whole message, or its start with `prefix`
        bool retriedOnItsOwn;  // one automatic retry (the series has one pause) before the box
        bool retryOffered;
        std::string cause;        // the transfer's; "" gives the kind's name
        bool intoFolder = false;  // the transfer has a destination: the message names it, what is needed
                                  // and what is free (which the test cannot know: the message's start)
    };
    const std::string unexpected = Message::UnexpectedError;
    const std::string cause = "HTTP 503 for http://host/packages/x";
    const std::vector<Row> rows = {
        {E::ConnectionError, true, Message::ConnectionError, true, true, cause},
        {E::ConnectionError, false, Message::ConnectionError, false, false, cause},
        {E::OutOfMemory, true, Message::OutOfMemory, false, true, cause},
        // A full disk is not retried on its own; the player may free space and retry.
        {E::InsufficientSpace, true, Message::OutOfDiskSpace, false, true, ""},
        {E::InsufficientSpace, true, "There is not enough free space in ", false, true, cause, true},
        {E::FileAccessError, true, Message::DiskWriteError, false, true, cause},
        {E::FileError, false, Message::DiskWriteError, false, false, cause},
        {E::ManifestError, false, unexpected, false, false, cause},
        {E::NotPublished, false, Message::NotPublished, false, false, cause},
        // What does not verify is never tried again, waiting or not.
        {E::Unverified, true, Message::NotVerified, false, false, cause},
        {E::ChecksumMismatch, true, Message::NotVerified, false, false, ""},
        {E::RequestError, true, unexpected, false, false, cause},
        {E::InternalError, false, unexpected, false, false, cause},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(ToName(row.error)) + (row.retrying ? " retrying" : "") +
                     (row.intoFolder ? " into a folder" : ""));
        // The downloader has completed: an error of the skin still ends the run.
        DialogRun run;
        run.options.retryPausesMs = {0};
        TransferStatus failing = Failing("skin-id", row.error, row.retrying, row.cause);
        failing.destPath = row.intoFolder ? run.scratch.Path() : "";
        failing.totalBytes = 200000;
        failing.progressBytes = 5000;
        run.engine.Script("DK-id", {Complete("DK-id", "run")});
        run.engine.Script("skin-id", {failing});
        Dialog& dialog = run.Start();
        run.WaitForEnd();
        const std::vector<std::string> errors = run.Errors();
        ASSERT_EQ(errors.size(), 1u);
        const std::string shown =
            "Error " + ErrorCaption + " | " + row.message +
            (row.intoFolder ? run.scratch.Path() + ": the download needs 190 KB, but only " : "");
        if (row.intoFolder) {
            const std::string end = " is free. Free some space and try again.";
            EXPECT_EQ(errors[0].substr(0, shown.size()), shown);
            EXPECT_EQ(errors[0].substr(errors[0].size() - end.size()), end);
        } else {
            EXPECT_EQ(errors[0], shown);
        }
        EXPECT_EQ(run.LinesOf("Detail "),
                  std::vector<std::string>{
                      "Detail Details: " + (row.cause.empty() ? std::string(ToName(row.error)) : row.cause) +
                      "; work log: /logs/Log.txt"});
        EXPECT_EQ(run.LinesOf("RetryOffered "), row.retryOffered
                                                    ? std::vector<std::string>{"RetryOffered Retry | Close"}
                                                    : std::vector<std::string>{});
        EXPECT_EQ(run.Starts().size(), row.retriedOnItsOwn ? 3u : 2u);
        EXPECT_EQ(dialog.Outcome(), DialogOutcome::ErrorShown);
        EXPECT_EQ(ExitStatus(dialog.Outcome()), 1);
        EXPECT_TRUE(run.launches.empty());
    }
}

// A connection error is retried after each pause of the series, in the monitor's fake time, with a notice
// that counts the pause down; a transfer that verified more bytes meanwhile gets the whole series again.
// Once the series is spent the box offers Retry, which starts it afresh, and the run goes on to the launch.
TEST(DialogTest, ConnectionErrorsAreRetriedAfterEachPauseThenThePlayerIsAsked) {
    DialogRun run;
    run.options.retryPausesMs = {1000, 2000};
    const TransferStatus lost = Failing("DK-id", E::ConnectionError, true, "HTTP 503 for http://n/x");
    TransferStatus further = Progress("DK-id", 60, 200, 5);
    further.verifiedBytes = 60;
    run.engine.Script("DK-id", {lost});
    run.engine.ScriptRetries("DK-id", {{further, lost}, {lost}, {lost}, {Complete("DK-id", "run")}});
    run.engine.Script("skin-id", {Complete("skin-id", "skin.run")});
    run.view.AnswerErrors({ErrorBoxAnswer::Retry});
    Dialog& dialog = run.Start();
    run.WaitForEnd();
    const std::string oneSecond = "Notice Connection lost. Reconnecting in 1 s...";
    const std::string twoSeconds = "Notice Connection lost. Reconnecting in 2 s...";
    EXPECT_EQ(run.LinesOf("Notice "), (std::vector<std::string>{oneSecond, "Notice ", oneSecond, "Notice ",
                                                                twoSeconds, oneSecond, "Notice "}));
    EXPECT_EQ(run.Errors(),
              std::vector<std::string>{"Error " + ErrorCaption + " | " + Message::ConnectionError});
    EXPECT_EQ(run.LinesOf("RetryOffered "), std::vector<std::string>{"RetryOffered Retry | Close"});
    EXPECT_EQ(run.Starts(), (std::vector<std::string>{"StartTransfer DP DK ?", "StartTransfer GP skin ?",
                                                      "RetryTransfer DK-id", "RetryTransfer DK-id",
                                                      "RetryTransfer DK-id", "RetryTransfer DK-id"}));
    EXPECT_EQ(run.launches, std::vector<std::string>{"run skin.run"});
    EXPECT_EQ(dialog.Outcome(), DialogOutcome::Launched);
}

// Both transfers wait after an error: the player is asked once, and the retry lets both go on.
TEST(DialogTest, ThePlayersRetryLetsEveryWaitingTransferGoOn) {
    DialogRun run;
    run.engine.Script("DK-id", {Failing("DK-id", E::ConnectionError, true)});
    run.engine.Script("skin-id", {Failing("skin-id", E::InsufficientSpace, true)});
    run.engine.ScriptRetries("DK-id", {{Complete("DK-id", "run")}});
    run.engine.ScriptRetries("skin-id", {{Complete("skin-id", "skin.run")}});
    run.view.AnswerErrors({ErrorBoxAnswer::Retry});
    Dialog& dialog = run.Start();
    run.WaitForEnd();
    EXPECT_EQ(run.Errors(),
              std::vector<std::string>{"Error " + ErrorCaption + " | " + Message::ConnectionError});
    EXPECT_EQ(run.Starts(), (std::vector<std::string>{"StartTransfer DP DK ?", "StartTransfer GP skin ?",
                                                      "RetryTransfer DK-id", "RetryTransfer skin-id"}));
    EXPECT_EQ(run.launches, std::vector<std::string>{"run skin.run"});
    EXPECT_EQ(dialog.Outcome(), DialogOutcome::Launched);
}

// Stands for the message that names the data folder, which only the run knows.
const char* const FolderMessage = "(folder message)";

TEST(DialogTest, OneMessagePerRun) {
    struct Case {
        const char* name;
        std::function<void(DialogRun&)> arrange;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"both fail in one cycle",
         [](DialogRun& run) {
             run.engine.Script("DK-id", {Status("DK-id", S::Transferring, E::ConnectionError)});
             run.engine.Script("skin-id", {Status("skin-id", S::Transferring, E::InsufficientSpace)});
         },
         Message::ConnectionError},
        {"the engine cannot create a transfer",
         [](DialogRun& run) { run.engine.OnStart("skin", TransferStatus()); }, Message::UnexpectedError},
        // The configuration made the data folder; it is replaced before the destinations are made.
        {"destination blocked by a file",
         [](DialogRun& run) {
             boost::filesystem::remove_all(run.scratch / "Vantrel Technologies");
             test::WriteFileText(run.scratch / "Vantrel Technologies", "a file");
             run.engine.Script("DK-id", {Status("DK-id", S::Initialized)});
             run.engine.Script("skin-id", {Status("skin-id", S::Initialized)});
         },
         FolderMessage},
        {"destination reached through a link",
         [](DialogRun& run) {
             boost::filesystem::rename(run.scratch / "Vantrel Technologies", run.scratch / "elsewhere");
             boost::filesystem::create_symlink("elsewhere", run.scratch / "Vantrel Technologies");
             run.engine.Script("DK-id", {Status("DK-id", S::Initialized)});
             run.engine.Script("skin-id", {Status("skin-id", S::Initialized)});
         },
         FolderMessage},
        {"launch failure",
         [](DialogRun& run) {
             run.launchSucceeds = false;
             run.engine.Script("DK-id", {Complete("DK-id", "run")});
             run.engine.Script("skin-id", {Complete("skin-id", "")});
         },
         "The Emberline Downloader could not be launched. " + std::string(SupportSentence)},
        {"a callback runs out of memory",
         [](DialogRun& run) {
             run.view.onSetProgress = [] { throw std::bad_alloc(); };
             run.engine.Script("DK-id", {Progress("DK-id", 1, 2, 3)});
         },
         Message::OutOfMemory},
        {"a callback fails otherwise",
         [](DialogRun& run) {
             run.view.onSetProgress = [] { throw std::runtime_error("view failed"); };
             run.engine.Script("DK-id", {Progress("DK-id", 1, 2, 3)});
         },
         Message::UnexpectedError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DialogRun run;
        c.arrange(run);
        Dialog& dialog = run.Start();
        run.WaitForEnd();
        const std::string message =
            c.message == FolderMessage
                ? "The folder " + DataFolder(run) +
                      " cannot be used for the download. Make sure it is a folder of your own that only your "
                      "user account can write to, and try again."
                : c.message;
        EXPECT_EQ(run.Errors(), std::vector<std::string>{"Error " + ErrorCaption + " | " + message});
        EXPECT_EQ(run.LinesOf("Detail ").size(), 1u);
        EXPECT_EQ(dialog.Outcome(), DialogOutcome::ErrorShown);
        EXPECT_TRUE(run.view.Lines().back() == "Closed");
    }
}

TEST(DialogTest, NothingIsShownOrLaunchedOnceTheDialogHasEnded) {
    DialogRun run;
    // At the first progress report the user presses the close button (or Ctrl-C); the monitor goes on and
    // reports both ends, one with an error, but the run is over.
    run.engine.Script("DK-id", {Progress("DK-id", 1, 2, 3), Complete("DK-id", "run")});
    run.engine.Script("skin-id",
                      {Progress("skin-id", 1, 2, 3), Status("skin-id", S::Transferring, E::ConnectionError)});
    // The dialog has ended once its Run has seen the view's loop return, a moment after "Closed".
    std::atomic<Dialog*> started{nullptr};
    run.view.onSetProgress = [&run, &started] {
        run.view.PressClose();
        run.view.WaitForLine("Closed");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((started.load() == nullptr || started.load()->Outcome() == DialogOutcome::Open) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    Dialog& dialog = run.Start();
    started = &dialog;
    ASSERT_TRUE(run.engine.WaitUntil([](const auto& calls) {
        return std::count_if(calls.begin(), calls.end(),
                             [](const auto& call) { return call.operation == "GetTransferStatus"; }) == 4;
    }));
    run.WaitForEnd();
    const std::vector<std::string> expected = {"Texts " + Caption + " | " + Calculating, "ProgressView",
                                               "Closed", "Progress 50 3 seconds remaining"};
    EXPECT_EQ(run.view.Lines(), expected);
    EXPECT_TRUE(run.launches.empty());
    EXPECT_EQ(dialog.Outcome(), DialogOutcome::Interrupted);
    EXPECT_EQ(ExitStatus(dialog.Outcome()), 2);
}

TEST(DialogTest, TheChosenLanguageGivesTheTextsTheSkinAndItsFolder) {
    DialogRun run(true);
    run.engine.Script("DK-id", {Status("DK-id", S::Initialized), Progress("DK-id", 1, 2, 65)});
    run.engine.Script("skin-de-id", {Status("skin-de-id", S::Initialized)});
    run.Start();
    ASSERT_TRUE(run.view.WaitForLine("Languages English,Deutsch"));
    run.view.ChooseLanguage(1);
    ASSERT_TRUE(
        run.view.WaitForLine([](const std::string& line) { return line.rfind("Progress ", 0) == 0; }));
    // The skin's script ends with Initialized, which the monitor may report again once it is registered
    // again: at least the two starts into the folders.
    ASSERT_TRUE(run.engine.WaitUntil([](const auto& calls) {
        return std::count_if(calls.begin(), calls.end(),
                             [](const auto& call) { return call.operation == "StartTransferInto"; }) >= 2;
    }));
    const auto lines = run.view.Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Texts Emberline Downloader | Calculating time remaining");
    EXPECT_EQ(lines[2], "Texts Glutlinie Downloader | Verbleibende Zeit wird berechnet");
    EXPECT_EQ(lines[3], "ProgressView");
    EXPECT_EQ(run.Starts()[1], "StartTransfer GP skin-de ?");
    EXPECT_EQ(run.Starts()[3], "StartTransferInto skin-de-id " + DataFolder(run) + "/skin-de");
}

// A configuration without the game's package, name or folder for the language (105, 108, 109) starts no
// transfer: the configuration error ends the run at once, before anything is downloaded.
TEST(DialogTest, AnIncompleteConfigurationStartsNothing) {
    struct Case {
        const char* name;
        bool languages;
        unsigned id;
        std::string value;
    };
    const Case cases[] = {
        {"no game package", false, 105, ""},
        {"no game name", false, 108, ""},
        {"no game folder", false, 109, ""},
        {"a plain value with a language list", true, 109, "Emberline"},
        {"no value for the language chosen", true, 105, "en=GK"},
    };
    const std::string message = Message::ConfigurationError;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DialogRun run(c.languages);
        StringTable table = test::DialogStringTable(c.languages);
        table.Set(c.id, c.value);
        run.configuration = std::make_unique<UpdaterConfiguration>(table, 0, nullptr);
        Dialog& dialog = run.Start();
        if (c.languages) {
            ASSERT_TRUE(run.view.WaitForLine("Languages English,Deutsch"));
            run.view.ChooseLanguage(1);
        }
        run.WaitForEnd();
        ASSERT_EQ(run.Errors().size(), 1u);
        const std::string shown = run.Errors()[0];
        EXPECT_EQ(shown.substr(shown.find(" | ")), " | " + run.locale->Translate(message));
        EXPECT_EQ(run.Starts(), std::vector<std::string>{});
        EXPECT_EQ(dialog.Outcome(), DialogOutcome::ErrorShown);
        EXPECT_TRUE(run.launches.empty());
    }
    // The message is the catalogs', in the language chosen.
    DialogRun run(true);
    StringTable table = test::DialogStringTable(true);
    table.Set(108, "en=Emberline");
    run.configuration = std::make_unique<UpdaterConfiguration>(table, 0, nullptr);
    run.Start();
    ASSERT_TRUE(run.view.WaitForLine("Languages English,Deutsch"));
    run.view.ChooseLanguage(1);
    run.WaitForEnd();
    EXPECT_EQ(
        run.Errors(),
        std::vector<std::string>{
            "Error  Downloader \xE2\x80\x93 Fehler | Die Konfiguration des Updaters ist unvollständig, daher "
            "kann er nicht fortfahren. Weitere Hilfe erhalten Sie unter "
            "support.halcyne.example."});
}

// The readout of the downloader's transfer: how much of how much, the speed and the time remaining while it
// downloads; no speed and "Paused" instead of the time while paused; "Verifying files…" with the checks'
// own progress while a hash pass reads back a file, and with the package's progress while the chunks an
// earlier run left are checked (checks end with nothing received); the time again once bytes arrive.
TEST(DialogTest, TheReadoutShowsAmountSpeedAndWhatHappensInsteadOfTheTime) {
    constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
    struct Row {
        const char* name;
        TransferState state;
        std::uint64_t progress;
        std::uint64_t transferred;
        std::uint64_t checking;
        std::uint64_t checked;
        int position;
        std::string amount;  // "" for none
        bool speed;          // a speed is shown
        std::string status;  // "time" for the time remaining
    };
    const std::string verifying = Message::VerifyingFiles;
    const std::vector<Row> rows = {
        // The first poll has no speed yet (see the next test).
        {"downloading", S::Transferring, 312 * MiB, 312 * MiB, 0, 0, 26, "312.00 MB of 1.17 GB", false,
         "time"},
        {"paused", S::Paused, 312 * MiB, 312 * MiB, 0, 0, 26, "312.00 MB of 1.17 GB", false, "Paused"},
        {"a hash pass begins", S::Transferring, 312 * MiB, 312 * MiB, 100 * MiB, 25 * MiB, 25,
         "25.00 MB of 100.00 MB", false, verifying},
        {"a second pass while the first runs", S::Transferring, 312 * MiB, 312 * MiB, 300 * MiB, 150 * MiB,
         50, "150.00 MB of 300.00 MB", false, verifying},
        {"earlier chunks checked", S::Transferring, 600 * MiB, 312 * MiB, 364 * MiB, 364 * MiB, 50,
         "600.00 MB of 1.17 GB", false, verifying},
        {"downloading again", S::Transferring, 700 * MiB, 412 * MiB, 364 * MiB, 364 * MiB, 58,
         "700.00 MB of 1.17 GB", false, "time"},
        {"a new pass counts from its start", S::Transferring, 700 * MiB, 412 * MiB, 464 * MiB, 414 * MiB, 50,
         "50.00 MB of 100.00 MB", false, verifying},
    };
    DialogRun run;
    std::vector<TransferStatus> script = {Status("DK-id", S::Initialized)};
    for (const Row& row : rows) {
        TransferStatus status = Progress("DK-id", row.progress, 1200 * MiB, 125);
        status.state = row.state;
        status.transferredBytes = row.transferred;
        status.checkingBytes = row.checking;
        status.checkedBytes = row.checked;
        status.bytesPerSecond = 5 * MiB + MiB / 5;
        script.push_back(status);
    }
    script.push_back(Complete("DK-id", "run"));
    run.engine.Script("DK-id", script);
    run.engine.Script("skin-id", {Status("skin-id", S::Initialized), Complete("skin-id", "skin")});
    run.Start();
    run.WaitForEnd();
    const std::vector<ProgressReadout> readouts = run.view.Readouts();
    ASSERT_EQ(readouts.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(readouts[i].position, rows[i].position);
        EXPECT_EQ(readouts[i].percent, std::to_string(rows[i].position) + "%");
        EXPECT_EQ(readouts[i].amount, rows[i].amount);
        EXPECT_EQ(!readouts[i].speed.empty(), rows[i].speed);
        EXPECT_EQ(readouts[i].status,
                  rows[i].status == "time" ? run.locale->TimeRemainingText(125) : rows[i].status);
    }
}

// The speed is what arrived over the last seconds of polls (the monitor's, 100 ms apart in fake time), not
// the engine's figure, which is averaged over its whole window from the start; none until a second has
// passed. The bytes arrive at 10 MiB/s of fake time: a poll that the monitor makes at once (after a start
// into a folder) sees no more bytes than the one before it.
TEST(DialogTest, TheSpeedIsWhatArrivedOverTheLastSeconds) {
    constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
    DialogRun run;
    const std::uint64_t start = run.clock.NowMs();
    run.engine.adjustStatus = [&run, start](TransferStatus& status) {
        if (status.transferId == "DK-id" && status.state == S::Transferring) {
            status.transferredBytes = (run.clock.NowMs() - start) * 10 * MiB / 1000;
        }
    };
    std::vector<TransferStatus> script = {Status("DK-id", S::Initialized)};
    for (std::uint64_t i = 0; i < 40; ++i) {
        TransferStatus status = Progress("DK-id", i * MiB, 100 * MiB, 10);
        status.bytesPerSecond = 1;
        script.push_back(status);
    }
    script.push_back(Complete("DK-id", "run"));
    run.engine.Script("DK-id", script);
    run.engine.Script("skin-id", {Status("skin-id", S::Initialized), Complete("skin-id", "skin")});
    run.Start();
    run.WaitForEnd();
    const std::vector<ProgressReadout> readouts = run.view.Readouts();
    ASSERT_EQ(readouts.size(), 40u);
    EXPECT_EQ(readouts[0].speed, "");
    EXPECT_EQ(readouts[1].speed, "");
    EXPECT_EQ(readouts.back().speed, "10.00 MB/s");
}

// The pause control pauses and resumes both transfers; a transfer started into its folder while paused is
// paused at once, whenever the pause came.
TEST(DialogTest, PauseAndResumeGoToBothTransfers) {
    DialogRun run;
    run.engine.Script("DK-id", {Status("DK-id", S::Initialized), Progress("DK-id", 1, 2, 3)});
    run.engine.Script("skin-id", {Status("skin-id", S::Initialized), Progress("skin-id", 1, 2, 3)});
    run.Start();
    ASSERT_TRUE(run.view.WaitForLine("ProgressView"));
    run.view.PressPause();
    const auto count = [&run](const std::string& operation) {
        const auto calls = run.engine.Calls();
        return std::count_if(calls.begin(), calls.end(),
                             [&](const auto& call) { return call.operation == operation; });
    };
    // Each transfer is paused after its start into its folder: by the press, or at its start.
    const auto pausedAfterStart = [](const std::vector<test::ScriptedTransfers::Call>& all,
                                     const std::string& id) {
        std::vector<std::string> calls;
        for (const auto& call : all) {
            if (call.operation != "GetTransferStatus" && call.arguments.at(0) == id) {
                calls.push_back(call.operation);
            }
        }
        const auto started = std::find(calls.begin(), calls.end(), "StartTransferInto");
        return started != calls.end() && std::find(started, calls.end(), "PauseTransfer") != calls.end();
    };
    EXPECT_TRUE(run.engine.WaitUntil([&](const auto& calls) {
        return pausedAfterStart(calls, "DK-id") && pausedAfterStart(calls, "skin-id");
    }));
    EXPECT_EQ(count("ResumeTransfer"), 0);
    run.view.PressPause();
    ASSERT_TRUE(run.engine.WaitUntil([](const auto& calls) {
        return std::count_if(calls.begin(), calls.end(),
                             [](const auto& call) { return call.operation == "ResumeTransfer"; }) == 2;
    }));
    run.view.PressClose();
    run.WaitForEnd();
    const std::vector<PauseControl> controls = run.view.PauseControls();
    ASSERT_GE(controls.size(), 3u);
    const auto shown = [](const PauseControl& control) {
        return std::string(control.offered ? "offered " : "hidden ") + (control.paused ? "paused " : "") +
               control.label;
    };
    EXPECT_EQ(shown(controls[0]), "offered Pause");
    EXPECT_EQ(shown(controls[1]), "offered paused Resume");
    EXPECT_EQ(shown(controls[2]), "offered Pause");
    EXPECT_EQ(controls[0].keyHint, "Press p to pause or resume.");
}

// The language choice comes before any language is chosen: it speaks the language of the user's own locale
// where a catalog has it, English otherwise, whatever the configuration's default language.
TEST(DialogTest, TheLanguageChoiceSpeaksTheUsersLocale) {
    struct Case {
        const char* locale;
        const char* catalog;  // the catalog expected; "" for English
    };
    for (const Case& c :
         {Case{"ja_JP.UTF-8", "ja"}, Case{"de_AT.UTF-8", "de"}, Case{"C", ""}, Case{"xx_YY.UTF-8", ""}}) {
        SCOPED_TRACE(c.locale);
        DialogRun run(true);
        const test::ScopedEnvironment user{"LC_ALL", c.locale};
        CatalogLocale userLocale(run.catalog, "");
        run.options.userLocale = &userLocale;
        run.Start();
        ASSERT_TRUE(run.view.WaitForLine("Languages English,Deutsch"));
        const LanguageChoice choice = run.view.Choice();
        run.view.PressClose();
        run.WaitForEnd();
        CatalogLocale expected(run.catalog, *c.catalog != '\0' ? c.catalog : "en");
        EXPECT_EQ(choice.prompt, expected.Translate(Message::LanguagePrompt));
        EXPECT_EQ(choice.inputLine, expected.Translate(Message::LanguageInputLine));
        EXPECT_EQ(choice.confirmLabel, expected.Translate(Message::Ok));
        EXPECT_EQ(choice.invalidChoice,
                  ReplaceAll(expected.Translate(Message::LanguageInvalidChoice), "{1}", "2"));
        EXPECT_EQ(choice.prompt == Message::LanguagePrompt, *c.catalog == '\0');
    }
}

TEST(DialogTest, OnlyOneInstance) {
    DialogRun run;
    EXPECT_THROW(
        {
            try {
                Dialog::GetSingleton();
            } catch (const std::logic_error& error) {
                EXPECT_STREQ(error.what(), "Dialog::GetSingleton called without CreateSingleton");
                throw;
            }
        },
        std::logic_error);
    Dialog& dialog = run.Create();
    EXPECT_EQ(&Dialog::GetSingleton(), &dialog);
    try {
        run.Create();
        ADD_FAILURE() << "a second instance";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Dialog::CreateSingleton called multiple times");
    }
}

}  // namespace
}  // namespace halcyne::Updater

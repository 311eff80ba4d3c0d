// The updater's dialog: the language choice, the update sequence (two transfers into their folders, the
// launch of the downloader), the automatic retries after connection errors, and every message the user sees,
// shown through a DialogView. One instance per process. Run is called on the interface thread, which also
// gets the view's events; the transfer monitor calls the TransferMonitorCallback operations on its thread;
// Close from any thread (the signal thread too). The dialog calls the engine, the monitor's Monitor, the
// view and the launcher; it has no thread or timer of its own: the pauses before retries are counted down
// by the monitor's polls.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/DialogView.hpp"
#include "app/SimpleLocale.hpp"
#include "app/UpdaterConfiguration.hpp"
#include "common/TransferError.hpp"
#include "file/FileIdentity.hpp"
#include "transfer/TransferMonitorCallback.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"

namespace halcyne::Updater {

// The untranslated message for a kind of transfer error.
const char* ErrorText(TransferError error);

// Whether a Retry can mend a transfer that waits after an error of this kind: a connection, memory, disk
// space or file access that may come back. A document or server refused, data that does not verify and
// inconsistencies stay as they are however often they are tried.
bool RetryCanMend(TransferError error);

// What the dialog needs besides its collaborators; every field has a default.
struct DialogOptions {
    // The pauses before each automatic retry of a transfer that waits after a connection error
    // (EngineSettings::retryPausesMs); once they are spent the error box asks.
    std::vector<std::uint32_t> retryPausesMs;
    // Milliseconds of a clock that never goes back, read on the monitor's thread; the steady clock when
    // empty.
    std::function<std::uint64_t()> clock;
    // The work log's path for the detail line, read when an error is shown; none when empty or "".
    std::function<std::string()> workLogPath;
    // Translates the language choice, which is shown before a language is chosen: the user's own locale
    // (English when no catalog matches it). The dialog's locale when null.
    const SimpleLocale* userLocale = nullptr;
};

// Starts the downloader (run path relative to the data folder) with the command line for the skin's run
// path, and waits for it to exit; true when it was started. `downloaderRunFile` is the run file's identity
// as the downloader transfer verified it: only that file may be started.
using DownloaderLauncher =
    std::function<bool(const std::string& downloaderRunPath, const FileIdentity& downloaderRunFile,
                       const std::string& skinRunPath)>;

// How a run ended, first come first served: the process's exit status follows from it.
enum class DialogOutcome {
    Open,            // not ended yet
    Launched,        // the downloader was started and has exited: exit status 0
    ErrorShown,      // an error message was shown: exit status 1
    Interrupted,     // closed (close button, Ctrl-C) before the launch: exit status 2
    AlreadyRunning,  // another updater runs with the same data folder; nothing was started: exit status 3
};
int ExitStatus(DialogOutcome outcome);

class Dialog : public TransferMonitorCallback, private DialogViewEvents {
public:
    // Throws std::logic_error "Dialog::CreateSingleton called multiple times" when an instance exists.
    // Every argument must outlive the instance; `engine` and `monitor` are read at each use.
    static Dialog& CreateSingleton(DialogView& view, TransferOperations& engine,
                                   std::unique_ptr<TransferMonitorImpl>* monitor, SimpleLocale& locale,
                                   const UpdaterConfiguration& configuration, DownloaderLauncher launcher,
                                   DialogOptions options = {});
    // Throws std::logic_error "Dialog::GetSingleton called without CreateSingleton" without an instance.
    static Dialog& GetSingleton();
    // Closes and destroys the instance (the entry point's last step; tests between cases).
    static void DestroySingleton();

    ~Dialog() override;

    // Runs the modal loop once; a second call does nothing.
    void Run();
    // Ends the dialog (the close button's action); nothing shown or launched afterwards. Any thread.
    void Close();
    // Shows a translated message with the error caption and a detail line naming `cause`, then closes; only
    // the first message of a run is shown.
    void ShowError(const std::string& message, const std::string& cause);
    // Shows that the folder cannot be used (why: `cause`), then closes.
    void ShowFolderError(const std::string& folder, const std::string& cause);
    // Says that another updater runs with the same data folder and ends the run with AlreadyRunning.
    void ShowAlreadyRunning();

    DialogOutcome Outcome() const;

    void OnTransferProgress(const TransferStatus& status) override;
    void OnTransferInitialized(const TransferStatus& status) override;
    void OnTransferRetryableError(const TransferStatus& status) override;
    void OnTransferEnd(const TransferStatus& status) override;

private:
    // One of the two transfers of the update sequence, with its automatic retries.
    struct Side {
        std::string transferId;
        bool done = false;
        std::string runPath;
        FileIdentity runFile;
        // Automatic retries made since the transfer last got further (bytes, or its initialization): each
        // takes the next pause; a retry the player asks for starts again from the first.
        std::size_t retries = 0;
        bool waiting = false;          // a pause before the next retry is running
        std::uint64_t retryDueMs = 0;  // when it ends
        std::uint64_t progressAtRetry = 0;
        // The readout: the counters at the previous poll, and the checks begun before the current verifying
        // (the bar shows those begun since).
        std::uint64_t lastChecked = 0;
        std::uint64_t lastTransferred = 0;
        std::uint64_t checksBefore = 0;
        // The bytes received at each poll of the last seconds, {time in ms, transferredBytes}: the speed.
        std::deque<std::pair<std::uint64_t, std::uint64_t>> received;
    };

    Dialog(DialogView& view, TransferOperations& engine, std::unique_ptr<TransferMonitorImpl>* monitor,
           SimpleLocale& locale, const UpdaterConfiguration& configuration, DownloaderLauncher launcher,
           DialogOptions options);

    void OnViewOpened() override;
    void OnLanguageChosen(int index) override;
    void OnPauseToggled() override;

    void SetTexts();
    void BeginUpdate();
    void Prepared(const TransferStatus& status);
    void Ended(const TransferStatus& status);
    // The transfer waits after an error: counts down the pause and retries, or asks.
    void Failed(Side& side, const TransferStatus& status);
    void RetryNow(Side& side);
    // The reconnecting notice for the side whose retry is due first, or none.
    void UpdateNotice();
    // What the progress view shows for the downloader's transfer.
    ProgressReadout Readout(Side& side, const TransferStatus& status);
    // Bytes per second received over the last seconds, this poll's count included; 0 until the polls span
    // a second.
    std::uint64_t CurrentSpeed(Side& side, std::uint64_t transferred);
    PauseControl PauseControlFor(bool paused) const;
    std::string ErrorMessage(const TransferStatus& status) const;
    std::string DetailLine(const std::string& cause) const;
    Side* SideOf(const std::string& transferId);
    std::uint64_t Now() const;
    bool LaunchStep();
    bool HasEnded() const;
    // Ends the run with `outcome` unless it has ended already; true when this call ended it.
    bool End(DialogOutcome outcome);
    // Shows the error box; ends the run with `outcome` unless a retry is offered and chosen (true). Only one
    // box is shown at a time, and none once the run has ended.
    bool ShowErrorAs(const std::string& message, const std::string& cause, bool offerRetry = false,
                     DialogOutcome outcome = DialogOutcome::ErrorShown);
    // Runs a monitor callback's body; an exception shows the unexpected-error (or memory) text instead of
    // leaving the run waiting for a transfer the monitor has already forgotten.
    void Guarded(const std::function<void()>& body);
    std::string GameName() const;

    DialogView& view_;
    TransferOperations& engine_;
    std::unique_ptr<TransferMonitorImpl>* const monitor_;
    SimpleLocale& locale_;
    const UpdaterConfiguration configuration_;
    const DownloaderLauncher launcher_;
    const DialogOptions options_;

    mutable std::mutex lock_;  // guards running_, closing_ and outcome_
    bool running_ = false;
    bool closing_ = false;  // Close was called or the loop has ended: an error box answers nothing more
    DialogOutcome outcome_ = DialogOutcome::Open;

    // The update sequence: written on the interface thread before the transfers are registered with the
    // monitor, afterwards only on the monitor thread.
    Side downloader_;
    Side skin_;
    std::string notice_;  // the notice shown now; monitor thread only

    // Guards paused_ and keeps a pause (interface thread) and a transfer's start (monitor thread) apart, so
    // that a transfer started while paused is paused at once. Held while calling the engine, which calls
    // nothing back.
    std::mutex pauseLock_;
    bool paused_ = false;
};

}  // namespace halcyne::Updater

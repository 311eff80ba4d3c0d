// The updater's dialog: the language choice, the update sequence (two transfers into their folders, the
// launch of the downloader) and every message the user sees, shown through a DialogView. One instance per
// process. Run is called on the interface thread, which also gets the view's events; the transfer monitor
// calls the TransferMonitorCallback operations on its thread; Close from any thread (the signal thread
// too). The dialog calls the engine, the monitor's Monitor, the view and the launcher.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

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
                                   const UpdaterConfiguration& configuration, DownloaderLauncher launcher);
    // Throws std::logic_error "Dialog::GetSingleton called without CreateSingleton" without an instance.
    static Dialog& GetSingleton();
    // Closes and destroys the instance (the entry point's last step; tests between cases).
    static void DestroySingleton();

    ~Dialog() override;

    // Runs the modal loop once; a second call does nothing.
    void Run();
    // Ends the dialog (the close button's action); nothing shown or launched afterwards. Any thread.
    void Close();
    // Shows a translated message with the error caption, then closes; only the first message of a run is
    // shown.
    void ShowError(const std::string& message);
    // Says that another updater runs with the same data folder and ends the run with AlreadyRunning.
    void ShowAlreadyRunning();

    DialogOutcome Outcome() const;

    void OnTransferProgress(const TransferStatus& status) override;
    void OnTransferInitialized(const TransferStatus& status) override;
    void OnTransferRetryableError(const TransferStatus& status) override;
    void OnTransferEnd(const TransferStatus& status) override;

private:
    Dialog(DialogView& view, TransferOperations& engine, std::unique_ptr<TransferMonitorImpl>* monitor,
           SimpleLocale& locale, const UpdaterConfiguration& configuration, DownloaderLauncher launcher);

    void OnViewOpened() override;
    void OnLanguageChosen(int index) override;

    void SetTexts();
    void BeginUpdate();
    void Prepared(const TransferStatus& status);
    void Ended(const TransferStatus& status);
    bool LaunchStep();
    bool HasEnded() const;
    // Ends the run with `outcome` unless it has ended already; true when this call ended it.
    bool End(DialogOutcome outcome);
    void ShowErrorAs(const std::string& message, DialogOutcome outcome = DialogOutcome::ErrorShown);
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

    mutable std::mutex lock_;  // guards running_ and outcome_
    bool running_ = false;
    DialogOutcome outcome_ = DialogOutcome::Open;

    // The update sequence: written on the interface thread before the transfers are registered with the
    // monitor, afterwards only on the monitor thread.
    std::string downloaderRunPath_;
    FileIdentity downloaderRunFile_;
    std::string skinRunPath_;
    std::string downloaderTransferId_;
    std::string skinTransferId_;
    bool downloaderDone_ = false;
    bool skinDone_ = false;
};

}  // namespace halcyne::Updater

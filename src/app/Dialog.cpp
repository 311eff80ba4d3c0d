#include "app/Dialog.hpp"

#include <new>
#include <stdexcept>
#include <utility>

#include "app/Messages.hpp"
#include "common/NoValueMarker.hpp"
#include "common/Paths.hpp"

namespace halcyne::Updater {

namespace {

std::mutex singletonLock;           // guards singleton
std::unique_ptr<Dialog> singleton;  // the process's one dialog

// The folder exists or could be made, with its missing parents, and every folder on the way from the
// temporary directory is the user's own and private; any failure, thrown ones included, is a no.
bool EnsureFolder(const std::string& folder) {
    try {
        return !folder.empty() && CreatePrivateFolder(folder);
    } catch (...) {
        return false;
    }
}

}  // namespace

const char* ErrorText(TransferError error) {
    switch (error) {
        case TransferError::ConnectionError:
            return Message::ConnectionError;
        case TransferError::OutOfMemory:
            return Message::OutOfMemory;
        case TransferError::InsufficientSpace:
            return Message::OutOfDiskSpace;
        case TransferError::FileAccessError:
        case TransferError::FileError:
            return Message::DiskWriteError;
        default:
            return Message::UnexpectedError;
    }
}

int ExitStatus(DialogOutcome outcome) {
    switch (outcome) {
        case DialogOutcome::Launched:
            return 0;
        case DialogOutcome::ErrorShown:
            return 1;
        case DialogOutcome::AlreadyRunning:
            return 3;
        default:
            return 2;
    }
}

Dialog& Dialog::CreateSingleton(DialogView& view, TransferOperations& engine,
                                std::unique_ptr<TransferMonitorImpl>* monitor, SimpleLocale& locale,
                                const UpdaterConfiguration& configuration, DownloaderLauncher launcher) {
    const std::lock_guard<std::mutex> guard(singletonLock);
    if (singleton) {
        throw std::logic_error("Dialog::CreateSingleton called multiple times");
    }
    singleton.reset(new Dialog(view, engine, monitor, locale, configuration, std::move(launcher)));
    return *singleton;
}

Dialog& Dialog::GetSingleton() {
    const std::lock_guard<std::mutex> guard(singletonLock);
    if (!singleton) {
        throw std::logic_error("Dialog::GetSingleton called without CreateSingleton");
    }
    return *singleton;
}

void Dialog::DestroySingleton() {
    std::unique_ptr<Dialog> instance;
    {
        const std::lock_guard<std::mutex> guard(singletonLock);
        instance = std::move(singleton);
    }
}

Dialog::Dialog(DialogView& view, TransferOperations& engine, std::unique_ptr<TransferMonitorImpl>* monitor,
               SimpleLocale& locale, const UpdaterConfiguration& configuration, DownloaderLauncher launcher)
    : view_(view),
      engine_(engine),
      monitor_(monitor),
      locale_(locale),
      configuration_(configuration),
      launcher_(std::move(launcher)) {}

Dialog::~Dialog() {
    Close();
}

void Dialog::Run() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (running_) {
            return;
        }
        running_ = true;
    }
    view_.Run(*this);
    // However the loop ended, the run has ended: later callbacks show and launch nothing.
    End(DialogOutcome::Interrupted);
}

void Dialog::Close() {
    End(DialogOutcome::Interrupted);
    view_.Close();
}

void Dialog::ShowError(const std::string& message) {
    ShowErrorAs(message);
}

DialogOutcome Dialog::Outcome() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return outcome_;
}

bool Dialog::HasEnded() const {
    return Outcome() != DialogOutcome::Open;
}

bool Dialog::End(DialogOutcome outcome) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (outcome_ != DialogOutcome::Open) {
        return false;
    }
    outcome_ = outcome;
    return true;
}

void Dialog::ShowAlreadyRunning() {
    ShowErrorAs(locale_.FormatTranslated(Message::AlreadyRunning, GameName()), DialogOutcome::AlreadyRunning);
}

void Dialog::ShowErrorAs(const std::string& message, DialogOutcome outcome) {
    if (!End(outcome)) {
        return;
    }
    view_.ShowError(locale_.FormatTranslated(Message::DownloaderErrorTitle, GameName()), message);
    view_.Close();
}

std::string Dialog::GameName() const {
    return configuration_.GameName(locale_.GetLanguage());
}

void Dialog::SetTexts() {
    view_.SetTexts(locale_.FormatTranslated(Message::DownloaderTitle, GameName()),
                   locale_.TimeRemainingText(-1));
}

void Dialog::OnViewOpened() {
    Guarded([this] {
        SetTexts();
        if (configuration_.Languages().empty()) {
            BeginUpdate();
            return;
        }
        std::vector<std::string> names;
        for (const auto& [code, name] : configuration_.Languages()) {
            names.push_back(name);
        }
        view_.ShowLanguageView(names);
    });
}

void Dialog::OnLanguageChosen(int index) {
    Guarded([this, index] {
        if (index >= 0 && static_cast<std::size_t>(index) < configuration_.Languages().size()) {
            locale_.SetLanguage(configuration_.Languages()[static_cast<std::size_t>(index)].first);
            SetTexts();
        }
        BeginUpdate();
    });
}

void Dialog::BeginUpdate() {
    if (HasEnded()) {
        return;
    }
    const std::string language = locale_.GetLanguage();
    // The downloader is handed the game's package, name and folder for the language: a configuration that
    // lacks one (a plain value where a language list needs one per language, say) would launch it with empty
    // arguments after the whole download, so nothing is started.
    if (configuration_.GamePackageId(language).empty() || configuration_.GameName(language).empty() ||
        configuration_.GameFolderName(language).empty()) {
        ShowErrorAs(locale_.Translate(Message::ConfigurationError));
        return;
    }
    view_.ShowProgressView();
    const TransferStatus downloader =
        engine_.StartTransfer(configuration_.DownloaderPartnerId(), configuration_.DownloaderPackageId(),
                              std::string(NoValueMarker));
    const TransferStatus skin = engine_.StartTransfer(
        configuration_.GamePartnerId(), configuration_.SkinPackageId(language), configuration_.SkinVersion());
    downloaderTransferId_ = downloader.transferId;
    skinTransferId_ = skin.transferId;
    // A transfer the engine could not create would otherwise be waited for forever.
    for (const TransferStatus* status : {&downloader, &skin}) {
        if (status->error != TransferError::None) {
            ShowErrorAs(locale_.Translate(ErrorText(status->error)));
            return;
        }
    }
    (*monitor_)->Monitor(downloaderTransferId_, this);
    (*monitor_)->Monitor(skinTransferId_, this);
}

void Dialog::Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        ShowErrorAs(locale_.Translate(Message::OutOfMemory));
    } catch (...) {
        try {
            ShowErrorAs(locale_.Translate(Message::UnexpectedError));
        } catch (...) {
            // Nothing more can be shown; the view's own failure must not end the monitor's thread.
        }
    }
}

void Dialog::OnTransferProgress(const TransferStatus& status) {
    if (HasEnded() || status.transferId != downloaderTransferId_ ||
        status.state != TransferState::Transferring || status.error != TransferError::None) {
        return;
    }
    Guarded([this, &status] {
        const int position =
            status.totalBytes == 0
                ? 0
                : static_cast<int>(std::min(1000.0, static_cast<double>(status.progressBytes) * 100.0 /
                                                        static_cast<double>(status.totalBytes)));
        view_.SetProgress(position, locale_.TimeRemainingText(status.secondsRemaining));
    });
}

void Dialog::OnTransferInitialized(const TransferStatus& status) {
    if (HasEnded()) {
        return;
    }
    Guarded([this, &status] { Prepared(status); });
}

void Dialog::OnTransferRetryableError(const TransferStatus& status) {
    OnTransferEnd(status);
}

void Dialog::OnTransferEnd(const TransferStatus& status) {
    if (HasEnded()) {
        return;
    }
    Guarded([this, &status] { Ended(status); });
}

void Dialog::Prepared(const TransferStatus& status) {
    const std::string destination = status.transferId == skinTransferId_
                                        ? configuration_.SkinFolder(locale_.GetLanguage())
                                        : configuration_.DataFolder();
    if (!EnsureFolder(destination)) {
        ShowErrorAs(locale_.Translate(ErrorText(TransferError::FileAccessError)));
        return;
    }
    engine_.StartTransferInto(status.transferId, destination);
    (*monitor_)->Monitor(status.transferId, this);
}

void Dialog::Ended(const TransferStatus& status) {
    struct Side {
        const std::string& id;
        bool& done;
        std::string& runPath;
        FileIdentity* runFile;  // none: the identity is not needed
    };
    for (const Side side :
         {Side{downloaderTransferId_, downloaderDone_, downloaderRunPath_, &downloaderRunFile_},
          Side{skinTransferId_, skinDone_, skinRunPath_, nullptr}}) {
        if (status.transferId != side.id) {
            continue;
        }
        if (status.error != TransferError::None) {
            ShowErrorAs(locale_.Translate(ErrorText(status.error)));
            return;
        }
        if (status.state == TransferState::Complete) {
            side.done = true;
            side.runPath = status.runPath;
            if (side.runFile != nullptr) {
                *side.runFile = status.runFile;
            }
        }
    }
    if (!downloaderDone_ || !skinDone_ || HasEnded()) {
        return;
    }
    // Both transfers are complete: their stored records would only ever be restored to find everything
    // verified, so they go now (their files stay). Before the launch, since the launch waits for the
    // downloader to exit, and an updater killed meanwhile would leave them behind.
    engine_.ForgetTransfer(downloaderTransferId_);
    engine_.ForgetTransfer(skinTransferId_);
    if (LaunchStep()) {
        if (End(DialogOutcome::Launched)) {
            view_.Close();
        }
    } else {
        ShowErrorAs(locale_.FormatTranslated(Message::LaunchFailed, GameName()));
    }
}

bool Dialog::LaunchStep() {
    view_.ShowLaunchView(locale_.FormatTranslated(Message::LaunchingDownloader, GameName()));
    try {
        return launcher_ && launcher_(downloaderRunPath_, downloaderRunFile_, skinRunPath_);
    } catch (...) {
        return false;
    }
}

}  // namespace halcyne::Updater

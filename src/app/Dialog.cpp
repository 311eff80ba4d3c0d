#include "app/Dialog.hpp"

#include <chrono>
#include <new>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "app/Messages.hpp"
#include "common/NoValueMarker.hpp"
#include "common/Paths.hpp"

namespace halcyne::Updater {

namespace {

std::mutex singletonLock;           // guards singleton
std::unique_ptr<Dialog> singleton;  // the process's one dialog

// The folder exists or could be made, with its missing parents, and every folder on the way from the
// temporary directory is the user's own and private; any failure, thrown ones included, is a no, with the
// reason in `error`.
bool EnsureFolder(const std::string& folder, std::string& error) {
    try {
        if (folder.empty()) {
            error = "no folder";
            return false;
        }
        return CreatePrivateFolder(folder, &error);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    } catch (...) {
        error = "unknown error";
        return false;
    }
}

// The cause the detail line names: the transfer's own, else the kind of error.
std::string CauseOf(const TransferStatus& status) {
    return status.errorCause.empty() ? std::string(ToName(status.error)) : status.errorCause;
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
        case TransferError::NotPublished:
            return Message::NotPublished;
        case TransferError::Unverified:
        case TransferError::ChecksumMismatch:
            return Message::NotVerified;
        default:
            return Message::UnexpectedError;
    }
}

bool RetryCanMend(TransferError error) {
    switch (error) {
        case TransferError::ConnectionError:
        case TransferError::OutOfMemory:
        case TransferError::InsufficientSpace:
        case TransferError::FileAccessError:
        case TransferError::FileError:
            return true;
        default:
            return false;
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
                                const UpdaterConfiguration& configuration, DownloaderLauncher launcher,
                                DialogOptions options) {
    const std::lock_guard<std::mutex> guard(singletonLock);
    if (singleton) {
        throw std::logic_error("Dialog::CreateSingleton called multiple times");
    }
    singleton.reset(
        new Dialog(view, engine, monitor, locale, configuration, std::move(launcher), std::move(options)));
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
               SimpleLocale& locale, const UpdaterConfiguration& configuration, DownloaderLauncher launcher,
               DialogOptions options)
    : view_(view),
      engine_(engine),
      monitor_(monitor),
      locale_(locale),
      configuration_(configuration),
      launcher_(std::move(launcher)),
      options_(std::move(options)) {}

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
    {
        const std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
    }
    End(DialogOutcome::Interrupted);
}

void Dialog::Close() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
    }
    End(DialogOutcome::Interrupted);
    view_.Close();
}

void Dialog::ShowError(const std::string& message, const std::string& cause) {
    ShowErrorAs(message, cause);
}

void Dialog::ShowFolderError(const std::string& folder, const std::string& cause) {
    ShowErrorAs(locale_.Format(Message::DataFolderUnusable, folder), cause);
}

void Dialog::ShowAlreadyRunning() {
    ShowErrorAs(locale_.FormatTranslated(Message::AlreadyRunning, GameName()),
                "another updater holds the lock of " + configuration_.DataFolder(), false,
                DialogOutcome::AlreadyRunning);
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

bool Dialog::ShowErrorAs(const std::string& message, const std::string& cause, bool offerRetry,
                         DialogOutcome outcome) {
    // The run counts as ended while the box is shown: nothing else is shown or launched meanwhile, and a
    // Close (the window's close button, Ctrl-C) keeps the error as the outcome.
    if (!End(outcome)) {
        return false;
    }
    ErrorBox box;
    box.caption = locale_.FormatTranslated(Message::DownloaderErrorTitle, GameName());
    box.message = message;
    box.detail = DetailLine(cause);
    box.offerRetry = offerRetry;
    box.retryLabel = locale_.Translate(Message::Retry);
    box.closeLabel = locale_.Translate(Message::Close);
    box.retryPrompt = locale_.Translate(Message::RetryPrompt);
    if (view_.ShowError(box) == ErrorBoxAnswer::Retry && offerRetry) {
        const std::lock_guard<std::mutex> guard(lock_);
        if (!closing_ && outcome_ == outcome) {
            outcome_ = DialogOutcome::Open;
            return true;
        }
    }
    view_.Close();
    return false;
}

std::string Dialog::DetailLine(const std::string& cause) const {
    const std::string log = options_.workLogPath ? options_.workLogPath() : std::string();
    return log.empty() ? locale_.Format(Message::Details, cause)
                       : locale_.Format(Message::DetailsWithLog, cause, log);
}

std::string Dialog::ErrorMessage(const TransferStatus& status) const {
    if (status.error == TransferError::InsufficientSpace && !status.destPath.empty() &&
        status.destPath != NoValueMarker) {
        boost::system::error_code error;
        const boost::filesystem::space_info space = boost::filesystem::space(status.destPath, error);
        if (!error) {
            const std::uint64_t needed =
                status.totalBytes > status.progressBytes ? status.totalBytes - status.progressBytes : 0;
            return ReplaceAll(
                locale_.Format(Message::NotEnoughSpace, status.destPath, locale_.ByteSizeText(needed)), "{3}",
                locale_.ByteSizeText(space.available));
        }
    }
    return locale_.Translate(ErrorText(status.error));
}

std::string Dialog::GameName() const {
    return configuration_.GameName(locale_.GetLanguage());
}

std::uint64_t Dialog::Now() const {
    if (options_.clock) {
        return options_.clock();
    }
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

Dialog::Side* Dialog::SideOf(const std::string& transferId) {
    if (transferId == downloader_.transferId) {
        return &downloader_;
    }
    if (transferId == skin_.transferId) {
        return &skin_;
    }
    return nullptr;
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
        // No language is chosen yet: the choice speaks the user's own language where a catalog has it.
        const SimpleLocale& user = options_.userLocale != nullptr ? *options_.userLocale : locale_;
        LanguageChoice choice;
        for (const auto& [code, name] : configuration_.Languages()) {
            choice.languages.push_back(name);
        }
        choice.prompt = user.Translate(Message::LanguagePrompt);
        choice.confirmLabel = user.Translate(Message::Ok);
        choice.inputLine = user.Translate(Message::LanguageInputLine);
        choice.invalidChoice =
            user.Format(Message::LanguageInvalidChoice, std::to_string(choice.languages.size()));
        view_.ShowLanguageView(choice);
    });
}

void Dialog::OnPauseToggled() {
    Guarded([this] {
        if (HasEnded()) {
            return;
        }
        bool paused = false;
        {
            const std::lock_guard<std::mutex> guard(pauseLock_);
            paused_ = !paused_;
            paused = paused_;
            // Both transfers: a complete one, or one not started yet, is left as it is by the engine (the
            // latter is paused when it starts).
            for (const Side* side : {&downloader_, &skin_}) {
                if (!side->transferId.empty()) {
                    if (paused) {
                        engine_.PauseTransfer(side->transferId);
                    } else {
                        engine_.ResumeTransfer(side->transferId);
                    }
                }
            }
        }
        view_.SetPauseControl(PauseControlFor(paused));
    });
}

PauseControl Dialog::PauseControlFor(bool paused) const {
    PauseControl control;
    control.offered = true;
    control.paused = paused;
    control.label = locale_.Translate(paused ? Message::Resume : Message::Pause);
    control.keyHint = locale_.Translate(Message::PauseKeyHint);
    return control;
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
        ShowErrorAs(
            locale_.Translate(Message::ConfigurationError),
            "the configuration has no game package, name or folder for language \"" + language + "\"");
        return;
    }
    view_.ShowProgressView();
    view_.SetPauseControl(PauseControlFor(false));
    const TransferStatus downloader =
        engine_.StartTransfer(configuration_.DownloaderPartnerId(), configuration_.DownloaderPackageId(),
                              std::string(NoValueMarker));
    const TransferStatus skin = engine_.StartTransfer(
        configuration_.GamePartnerId(), configuration_.SkinPackageId(language), configuration_.SkinVersion());
    downloader_.transferId = downloader.transferId;
    skin_.transferId = skin.transferId;
    // A transfer the engine could not create would otherwise be waited for forever.
    for (const TransferStatus* status : {&downloader, &skin}) {
        if (status->error != TransferError::None) {
            ShowErrorAs(locale_.Translate(ErrorText(status->error)),
                        status->errorCause.empty() ? "the download engine could not create a transfer"
                                                   : status->errorCause);
            return;
        }
    }
    (*monitor_)->Monitor(downloader_.transferId, this);
    (*monitor_)->Monitor(skin_.transferId, this);
}

void Dialog::Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        try {
            ShowErrorAs(locale_.Translate(Message::OutOfMemory), "out of memory in the updater's dialog");
        } catch (...) {
        }
    } catch (...) {
        try {
            std::string cause = "an unexpected exception in the updater's dialog";
            try {
                throw;
            } catch (const std::exception& e) {
                cause += ": " + std::string(e.what());
            } catch (...) {
            }
            ShowErrorAs(locale_.Translate(Message::UnexpectedError), cause);
        } catch (...) {
            // Nothing more can be shown; the view's own failure must not end the monitor's thread.
        }
    }
}

void Dialog::OnTransferProgress(const TransferStatus& status) {
    if (HasEnded() || status.error != TransferError::None) {
        return;
    }
    Guarded([this, &status] {
        Side* side = SideOf(status.transferId);
        if (side == nullptr) {
            return;
        }
        // Bytes verified since the last retry: the connection is back, and a later failure gets the whole
        // series of automatic retries again.
        if (status.verifiedBytes > side->progressAtRetry) {
            side->retries = 0;
        }
        if (side != &downloader_ ||
            (status.state != TransferState::Transferring && status.state != TransferState::Paused &&
             status.state != TransferState::InitializingPaused)) {
            return;
        }
        view_.SetProgress(Readout(*side, status));
    });
}

namespace {

// `part` of `whole` in whole percent, at most 1000 (the view shows more than 100 as full); 0 of nothing.
int Percent(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0
                      : static_cast<int>(
                            std::min(1000.0, static_cast<double>(part) * 100.0 / static_cast<double>(whole)));
}

}  // namespace

ProgressReadout Dialog::Readout(Side& side, const TransferStatus& status) {
    // Files are being verified while a read-back check runs (a file's hash pass), or while checks end and
    // nothing is received (the chunks an earlier run left on disk, each checked at once). Neither has a time
    // estimate; the bar shows how far the checks begun since the verifying started have come, or, between
    // them, how much of the package has been found good so far.
    const bool hashing = status.checkingBytes > status.checkedBytes;
    const bool checkingDisk =
        status.checkedBytes > side.lastChecked && status.transferredBytes == side.lastTransferred;
    side.lastChecked = status.checkedBytes;
    side.lastTransferred = status.transferredBytes;
    if (!hashing) {
        side.checksBefore = status.checkingBytes;
    }
    ProgressReadout readout;
    std::uint64_t done = status.progressBytes;
    std::uint64_t total = status.totalBytes;
    if (hashing) {
        done = status.checkedBytes - std::min(side.checksBefore, status.checkedBytes);
        total = status.checkingBytes - side.checksBefore;
    }
    readout.position = Percent(done, total);
    readout.percent = locale_.PercentText(std::min(readout.position, 100) / 100.0, 0);
    if (total != 0) {
        readout.amount =
            locale_.Format(Message::AmountOfTotal, locale_.ByteSizeText(done), locale_.ByteSizeText(total));
    }
    if (status.state == TransferState::Paused || status.state == TransferState::InitializingPaused) {
        // Nothing moves while paused: no speed, and no estimate of the time left.
        side.received.clear();
        readout.status = locale_.Translate(Message::Paused);
    } else if (hashing || checkingDisk) {
        side.received.clear();
        readout.status = locale_.Translate(Message::VerifyingFiles);
    } else {
        const std::uint64_t speed = CurrentSpeed(side, status.transferredBytes);
        if (speed != 0) {
            readout.speed = locale_.Format(Message::Speed, locale_.ByteSizeText(speed));
        }
        readout.status = locale_.TimeRemainingText(status.secondsRemaining);
    }
    return readout;
}

std::uint64_t Dialog::CurrentSpeed(Side& side, std::uint64_t transferred) {
    // The bytes received over the last three seconds of polls, once they span a second. The engine's own
    // figure is averaged over its whole speed window from the start, so it reads low for the first seconds
    // of a transfer and after a pause.
    constexpr std::uint64_t WindowMs = 3000;
    constexpr std::uint64_t MinimumSpanMs = 1000;
    const std::uint64_t now = Now();
    side.received.emplace_back(now, transferred);
    while (side.received.size() > 2 && now - side.received[1].first >= WindowMs) {
        side.received.pop_front();
    }
    const auto& [oldestMs, oldestBytes] = side.received.front();
    const std::uint64_t span = now - oldestMs;
    if (span < MinimumSpanMs || transferred < oldestBytes) {
        return 0;
    }
    return (transferred - oldestBytes) * 1000 / span;
}

void Dialog::OnTransferInitialized(const TransferStatus& status) {
    if (HasEnded()) {
        return;
    }
    Guarded([this, &status] {
        if (Side* side = SideOf(status.transferId)) {
            side->retries = 0;  // the manifests came: the connection is back
        }
        Prepared(status);
    });
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
    const std::string destination = status.transferId == skin_.transferId
                                        ? configuration_.SkinFolder(locale_.GetLanguage())
                                        : configuration_.DataFolder();
    std::string reason;
    if (!EnsureFolder(destination, reason)) {
        ShowFolderError(destination, reason);
        return;
    }
    {
        // A pause that came while the transfer initialized holds for its download too.
        const std::lock_guard<std::mutex> guard(pauseLock_);
        engine_.StartTransferInto(status.transferId, destination);
        if (paused_) {
            engine_.PauseTransfer(status.transferId);
        }
    }
    (*monitor_)->Monitor(status.transferId, this);
}

void Dialog::Ended(const TransferStatus& status) {
    Side* side = SideOf(status.transferId);
    if (side == nullptr) {
        return;
    }
    if (status.error != TransferError::None) {
        Failed(*side, status);
        return;
    }
    if (status.state == TransferState::Complete) {
        side->done = true;
        side->runPath = status.runPath;
        side->runFile = status.runFile;
    }
    if (!downloader_.done || !skin_.done || HasEnded()) {
        return;
    }
    // Both transfers are complete: their stored records would only ever be restored to find everything
    // verified, so they go now (their files stay). Before the launch, since the launch waits for the
    // downloader to exit, and an updater killed meanwhile would leave them behind.
    engine_.ForgetTransfer(downloader_.transferId);
    engine_.ForgetTransfer(skin_.transferId);
    if (LaunchStep()) {
        if (End(DialogOutcome::Launched)) {
            view_.Close();
        }
    } else {
        ShowErrorAs(locale_.FormatTranslated(Message::LaunchFailed, GameName()),
                    "cannot start " + JoinPath(configuration_.DataFolder(), downloader_.runPath));
    }
}

void Dialog::Failed(Side& side, const TransferStatus& status) {
    // A connection error is tried again on its own after each pause of the series; the monitor is asked to
    // poll the transfer again, and each poll counts the pause down.
    if (status.retrying && status.error == TransferError::ConnectionError &&
        side.retries < options_.retryPausesMs.size()) {
        const std::uint64_t now = Now();
        if (!side.waiting) {
            side.waiting = true;
            side.retryDueMs = now + options_.retryPausesMs[side.retries];
        }
        if (now >= side.retryDueMs) {
            ++side.retries;
            side.progressAtRetry = status.verifiedBytes;
            RetryNow(side);
        }
        UpdateNotice();
        // Right after a retry the transfer is looked at again at once; during a pause at the next poll.
        (*monitor_)->Monitor(side.transferId, this, !side.waiting);
        return;
    }
    side.waiting = false;
    UpdateNotice();
    if (!ShowErrorAs(ErrorMessage(status), CauseOf(status), status.retrying && RetryCanMend(status.error))) {
        return;
    }
    // The player's retry is for the whole update: the other transfer, when it waits after an error too, goes
    // on as well instead of asking again (a transfer that does not wait is left as it is). Each starts the
    // series of automatic retries afresh.
    side.progressAtRetry = status.verifiedBytes;
    for (Side* each : {&downloader_, &skin_}) {
        if (each->done || each->transferId.empty()) {
            continue;
        }
        each->retries = 0;
        RetryNow(*each);
        (*monitor_)->Monitor(each->transferId, this);
    }
    UpdateNotice();
}

void Dialog::RetryNow(Side& side) {
    side.waiting = false;
    engine_.RetryTransfer(side.transferId);
}

void Dialog::UpdateNotice() {
    const Side* due = nullptr;
    for (const Side* side : {&downloader_, &skin_}) {
        if (side->waiting && (due == nullptr || side->retryDueMs < due->retryDueMs)) {
            due = side;
        }
    }
    std::string text;
    if (due != nullptr) {
        const std::uint64_t now = Now();
        const std::uint64_t left = due->retryDueMs > now ? due->retryDueMs - now : 0;
        text = locale_.Format(Message::Reconnecting, std::to_string((left + 999) / 1000));
    }
    if (text != notice_) {
        notice_ = text;
        view_.ShowNotice(text);
    }
}

bool Dialog::LaunchStep() {
    view_.SetPauseControl(PauseControl());
    view_.ShowLaunchView(locale_.FormatTranslated(Message::LaunchingDownloader, GameName()));
    try {
        return launcher_ && launcher_(downloader_.runPath, downloader_.runFile, skin_.runPath);
    } catch (...) {
        return false;
    }
}

}  // namespace halcyne::Updater

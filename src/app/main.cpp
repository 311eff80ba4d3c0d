// The updater's entry point: builds the configuration, the engine, the transfer monitor and the dialog in
// this order, runs the dialog on the main thread and tears everything down in reverse order. Exit status:
// 0 when the downloader was launched, 1 after an error message, 2 when the run was closed (close button,
// Ctrl-C, SIGTERM, SIGHUP) before the launch, 3 when another updater runs with the same data folder; a
// second signal ends the process at once with 128 + signal.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/property_tree/ptree.hpp>
#include <pthread.h>
#include <signal.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include "app/CatalogLocale.hpp"
#include "app/Dialog.hpp"
#include "app/DialogViewLoader.hpp"
#include "app/DownloaderLaunch.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Housekeeping.hpp"
#include "app/InstanceLock.hpp"
#include "app/LocaleName.hpp"
#include "app/Messages.hpp"
#include "app/StringTable.hpp"
#include "app/UpdaterCheck.hpp"
#include "app/UpdaterConfiguration.hpp"
#include "app/console/ConsoleDialogView.hpp"
#include "common/EngineSettings.hpp"
#include "common/Paths.hpp"
#include "events/JsonText.hpp"
#include "transfer/DownloadEngine.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"

namespace {

using namespace halcyne;
using namespace halcyne::Updater;

const char* const Usage =
    "usage: halcyne-updater [packageVersion=VERSION] [skinVersion=VERSION] [log=LEVEL] [limit=KIB]\n"
    "Downloads the game's downloader and its skin, then launches the downloader.\n"
    "\n"
    "  packageVersion=VERSION  the game version handed to the downloader\n"
    "  skinVersion=VERSION     the skin package's version (default: the current one)\n"
    "  log=LEVEL               the work log's level mask\n"
    "  limit=KIB               download at most KIB KiB per second in all (default: no limit)\n"
    "  -h, --help              this text, and nothing else\n"
    "  --version               the updater's version, and nothing else\n"
    "  --check                 fetch what a run would (manifests, node lists, signatures, one chunk from\n"
    "                          every node), print one line per URL, download nothing; exit 0 when all\n"
    "                          is well, 1 otherwise\n"
    "Other arguments are ignored.\n"
    "\n"
    "The window is a GTK window (libhalcyne-gtk.so beside the updater, and GTK 3) when a display is\n"
    "available, else the terminal; HALCYNE_UI=console forces the terminal, HALCYNE_UI=gtk the window (the\n"
    "terminal, and a work log entry saying why, when it cannot be made). Exit status: 0 the downloader was "
    "launched, 1 an error was shown, 2 closed or\n"
    "interrupted before the launch, 3 another updater runs with the same data folder, 128+N ended at once "
    "by\n"
    "a second signal N.\n";

// The signals that mean "close", handled by one thread of their own so that no other thread (and no library
// thread) ever runs a handler. The downloader is started with an empty mask and default dispositions.
std::mutex signalLock;           // guards signalDialog and closeRequested
Dialog* signalDialog = nullptr;  // the dialog to close on the first signal
bool closeRequested = false;     // a signal came before the dialog existed
// The terminal's modes on standard input at start-up, put back before an exit at once: the terminal view
// reads keys without echo while it runs.
termios initialModes{};
bool initialModesSaved = false;  // written before the signal thread starts

sigset_t CloseSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

void WatchSignals() {
    const sigset_t signals = CloseSignals();
    bool first = true;
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (!first) {
            if (initialModesSaved) {
                ::tcsetattr(STDIN_FILENO, TCSANOW, &initialModes);
            }
            ::_exit(128 + signal);
        }
        first = false;
        const std::lock_guard<std::mutex> guard(signalLock);
        if (signalDialog != nullptr) {
            signalDialog->Close();
        } else {
            closeRequested = true;
        }
    }
}

// The GTK window (its module beside this executable) when a display is available and GTK starts, else the
// terminal; HALCYNE_UI=gtk or HALCYNE_UI=console forces one (a forced window that cannot be made falls back
// to the terminal). Before any other thread touches a view: the module starts GTK on this thread.
ViewChoice MakeView() {
    const char* forced = std::getenv("HALCYNE_UI");
    const bool display = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    return ChooseDialogView(forced != nullptr ? forced : "", display, ExecutableFolder());
}

// Says in the work log why something the player would ask about did not happen (the window was wanted and
// the terminal is used; the one-updater lock could not be taken): at every level, as the folders the
// temporary directory's choice refused are, whatever the log level they run with.
void LogEvent(WorkLogManager& log, const char* event, const std::string& reason) {
    const auto entry = log.CreateEventWork(-1);
    entry->Tree().put("event", event);
    entry->Tree().put("params.reason", reason);
    log.Submit(entry);
}

// What earlier runs left in the data folder and nobody needs: stored transfers untouched for 30 days, work
// logs beyond the newest 20 runs' (this run's, made now or later, among them). Failures leave the files
// alone.
void CleanUp(const EngineSettings& settings, const WorkLogManager& log) {
    const std::string temporary = CurrentTemporaryDirectory().directory;
    if (temporary.empty()) {
        return;
    }
    RemoveStaleStoredTransfers(JoinPath(temporary, settings.transfersFolder),
                               std::chrono::system_clock::now());
    const std::string current = log.FilePath();
    KeepNewestLogs(JoinPath(temporary, settings.logsFolder), current.substr(current.find_last_of('/') + 1),
                   LogsKept - 1);
}

// The data folder exists or could be made, and every folder on the way from the temporary directory is the
// user's own and private; any failure, thrown ones included, is a no, with the reason in `error`.
bool EnsureFolder(const UpdaterConfiguration& configuration, std::string& error) {
    if (configuration.DataFolder().empty()) {
        error = configuration.DataFolderError().empty() ? "no temporary directory"
                                                        : configuration.DataFolderError();
        return false;
    }
    try {
        return CreatePrivateFolder(configuration.DataFolder(), &error);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    } catch (...) {
        error = "unknown error";
        return false;
    }
}

// The work log's first entry: what support needs to know about the run before anything happened. The
// stamped entries by id, except the manifest keys, of which only their number is written.
std::string LogHeader(const EngineSettings& settings, const std::string& language, const char* view,
                      const std::string& retryPausesNote) {
    boost::property_tree::ptree entry;
    entry.put("event", "UpdaterStarted");
    boost::property_tree::ptree& params = entry.put_child("params", {});
    params.put("version", HALCYNE_VERSION);
    utsname system{};
    if (::uname(&system) == 0) {
        params.put("system", std::string(system.sysname) + " " + system.release + " " + system.machine);
    }
    params.put("locale", SystemLocaleName());
    params.put("language", language);
    params.put("view", view);
    boost::property_tree::ptree& stamped = params.put_child("configuration", {});
    for (const auto& [id, value] : StringTable::Embedded().Entries()) {
        stamped.put(std::to_string(id), id == StringId::ManifestKeys ? "(not logged)" : value);
    }
    if (!retryPausesNote.empty()) {
        params.put("retryPausesNote", retryPausesNote);
    }
    DescribeSettings(settings, params.put_child("settings", {}));
    return WriteJsonText(entry);
}

// The work log's last entry: how the run ended.
std::string LogClosing(DialogOutcome outcome, int exitStatus) {
    boost::property_tree::ptree entry;
    entry.put("event", "UpdaterEnded");
    const char* name = outcome == DialogOutcome::Launched     ? "Launched"
                       : outcome == DialogOutcome::ErrorShown ? "ErrorShown"
                       : outcome == DialogOutcome::Open       ? "Open"
                                                              : "Interrupted";
    entry.put("params.outcome", name);
    entry.put("params.exitStatus", std::to_string(exitStatus));
    return WriteJsonText(entry);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << Usage;
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "halcyne-updater " << HALCYNE_VERSION << "\n";
            return 0;
        }
    }
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        check = check || std::strcmp(argv[i], "--check") == 0;
    }
    // Before any thread exists, so that every thread inherits the mask and only the watcher takes them. A
    // check has nothing to close: the signals keep their default action and end it.
    if (!check) {
        const sigset_t signals = CloseSignals();
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        initialModesSaved = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &initialModes) == 0;
        std::thread(WatchSignals).detach();
    }

    const UpdaterConfiguration configuration(StringTable::Embedded(), argc, argv);
    EngineSettings settings;
    if (!configuration.ManifestHost().empty()) {
        settings.manifestHost = configuration.ManifestHost();
    }
    settings.logLevel = configuration.LogLevel();
    settings.maxDownloadRate = configuration.DownloadRateLimit();
    settings.workerThreads *= 2;
    settings.eventAnalyticsUrl = configuration.EventAnalyticsUrl();
    settings.transferAnalyticsUrl = configuration.TransferAnalyticsUrl();
    settings.caBundle = configuration.CaBundle();
    settings.manifestKeys = configuration.ManifestKeys();
    std::string retryPausesNote;
    if (!configuration.RetryPauses().empty()) {
        if (const auto pauses = ParseRetryPauses(configuration.RetryPauses())) {
            settings.retryPausesMs = *pauses;
        } else {
            retryPausesNote = "entry 135 \"" + configuration.RetryPauses() +
                              "\" is not a list of pauses in milliseconds; the default pauses are used";
        }
    }
    if (check) {
        return RunUpdaterCheck(configuration, settings, std::cout);
    }

    auto catalog = std::make_unique<EmbeddedMessageCatalog>("updater");
    catalog->AddAllCatalogs();
    auto locale = std::make_unique<CatalogLocale>(*catalog, "");
    // The user's own locale, for the language choice that comes before any language is chosen.
    auto userLocale = std::make_unique<CatalogLocale>(*catalog, "");
    if (!configuration.Languages().empty()) {
        locale->SetLanguage(configuration.DefaultLanguage());
    }

    ViewChoice choice = MakeView();
    const std::unique_ptr<DialogView> view = std::move(choice.view);
    const char* viewName = dynamic_cast<ConsoleDialogView*>(view.get()) != nullptr ? "console" : "gtk";
    auto engine = std::make_unique<DownloadEngine>(
        settings, LogHeader(settings, locale->GetLanguage(), viewName, retryPausesNote));
    WorkLogManager& workLog = *engine->GetBehavior().workLogManager;
    // Opened now, so that every error box can name it.
    workLog.Open();
    if (!choice.windowUnavailable.empty()) {
        LogEvent(workLog, "WindowUnavailable", choice.windowUnavailable);
    }
    EngineTransferOperations<DownloadEngine> operations(&engine);
    auto monitor = std::make_unique<TransferMonitorImpl>(&operations);
    monitor->Start();
    DialogOptions options;
    options.retryPausesMs = settings.retryPausesMs;
    options.workLogPath = [&workLog] { return workLog.FilePath(); };
    options.userLocale = userLocale.get();
    Dialog& dialog = Dialog::CreateSingleton(
        *view, operations, &monitor, *locale, configuration,
        [&](const std::string& downloaderRunPath, const FileIdentity& downloaderRunFile,
            const std::string& skinRunPath) {
            return LaunchDownloader(configuration, *locale, downloaderRunPath, downloaderRunFile,
                                    skinRunPath);
        },
        std::move(options));
    {
        const std::lock_guard<std::mutex> guard(signalLock);
        signalDialog = &dialog;
        if (closeRequested) {
            dialog.Close();  // Run then returns at once
        }
    }
    std::string folderError;
    std::unique_ptr<InstanceLock> instance;
    if (!EnsureFolder(configuration, folderError)) {
        dialog.ShowFolderError(
            configuration.DataFolder().empty() ? configuration.DataFolderName() : configuration.DataFolder(),
            folderError);
    } else if (instance = std::make_unique<InstanceLock>(configuration.DataFolder());
               instance->HeldByAnother()) {
        dialog.ShowAlreadyRunning();
    } else {
        if (!instance->Error().empty()) {
            LogEvent(workLog, "InstanceLockUnavailable", instance->Error());
        }
        CleanUp(settings, workLog);
        dialog.Run();
    }
    const DialogOutcome outcome = dialog.Outcome();
    const int status = ExitStatus(outcome);
    // Written after every entry of the engine's teardown (the transfers suspended, the works ended).
    workLog.SetClosingEntry(LogClosing(outcome, status));

    // The monitor's thread is joined before the pointer its callbacks read is cleared.
    monitor->Stop();
    monitor.reset();
    engine.reset();
    {
        const std::lock_guard<std::mutex> guard(signalLock);
        signalDialog = nullptr;
    }
    Dialog::DestroySingleton();
    locale.reset();
    userLocale.reset();
    catalog.reset();
    return status;
}

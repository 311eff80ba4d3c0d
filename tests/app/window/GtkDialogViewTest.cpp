// The GTK window in this process under Xvfb, made by the window's module as the updater loads it. The
// dialog's loop runs on the test's main thread (the interface thread), the transfer monitor calls the view
// from its own thread, and a driver thread works the window through its controls' ids by queueing steps on
// the interface thread: the language choice (confirmed by Enter), the progress with its percentage, amount
// and speed, the pause button, the verifying of files, the launch view, and the error box with its
// detail line ended by its Close button or by a Close (the Ctrl-C path) wherever it was shown, or by its
// Retry button. Screenshots go to <build>/tests/screenshots/.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "app/CatalogLocale.hpp"
#include "app/Dialog.hpp"
#include "app/DialogViewLoader.hpp"
#include "app/DialogViewModule.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"
#include "app/StringTable.hpp"
#include "support/ScriptedTransfers.hpp"
#include "support/TestSupport.hpp"
#include "support/VirtualDisplay.hpp"
#include "support/Watchdog.hpp"

namespace halcyne::Updater {
namespace {

using namespace std::chrono_literals;
using test::Status;

// A view from the built module, as the updater loads it; the module starts GTK on this (the main) thread.
std::unique_ptr<DialogView> LoadWindow() {
    LoadedView loaded = LoadViewModule(test::BuiltProgram(std::string("src/") + GtkViewModuleName));
    EXPECT_TRUE(loaded.view) << loaded.reason;
    return std::move(loaded.view);
}

// GTK starts once per process and keeps its connection to the end: one display for every test here. True
// once the module has made a window on it.
bool StartGtk() {
    static test::VirtualDisplay display;
    static const bool started = [] {
        if (!display.Running()) {
            return false;
        }
        ::setenv("DISPLAY", display.Name().c_str(), 1);
        return LoadWindow() != nullptr;
    }();
    return started;
}

// The widget built from the layout with `id` ("1004") in a visible or hidden top-level window, or null (on
// the interface thread). The module hands out no widgets: they are found by their layout ids.
GtkWidget* FindControl(GtkWidget* widget, const std::string& id) {
    const char* name = gtk_buildable_get_name(GTK_BUILDABLE(widget));
    if (name != nullptr && id == name) {
        return widget;
    }
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
        std::vector<GtkWidget*> children;
        gtk_container_forall(
            GTK_CONTAINER(widget),
            [](GtkWidget* child, gpointer list) {
                static_cast<std::vector<GtkWidget*>*>(list)->push_back(child);
            },
            &children);
        for (GtkWidget* child : children) {
            if ((found = FindControl(child, id)) != nullptr) {
                break;
            }
        }
    }
    return found;
}

GtkWidget* Control(const std::string& id) {
    GtkWidget* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr && found == nullptr; item = item->next) {
        found = FindControl(GTK_WIDGET(item->data), id);
    }
    g_list_free(windows);
    return found;
}

// Runs `step` on the interface thread, wherever that iterates GLib's main context (the window's loop or an
// error box's); false when it has not run within 10 s (it is then cancelled and never runs).
bool OnInterfaceThread(std::function<void()> step) {
    struct Call {
        std::function<void()> step;
        std::mutex lock;  // guards done and cancelled; held while the step runs
        std::condition_variable changed;
        bool done = false;
        bool cancelled = false;
    };
    auto call = std::make_shared<Call>();
    call->step = std::move(step);
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            Call& call = **static_cast<std::shared_ptr<Call>*>(data);
            const std::lock_guard<std::mutex> guard(call.lock);
            if (!call.cancelled) {
                call.step();
                call.done = true;
                call.changed.notify_all();
            }
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<Call>(call),
        [](gpointer data) { delete static_cast<std::shared_ptr<Call>*>(data); });
    std::unique_lock<std::mutex> lock(call->lock);
    if (!call->changed.wait_for(lock, 10s, [&] { return call->done; })) {
        call->cancelled = true;
    }
    return call->done;
}

// Checks `condition` on the interface thread every 20 ms; false when it has not held within 10 s.
bool WaitOnInterfaceThread(const std::function<bool()>& condition) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
        bool holds = false;
        if (OnInterfaceThread([&] { holds = condition(); }) && holds) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Checks `condition` here every 20 ms; false when it has not held within 10 s.
bool Eventually(const std::function<bool()>& condition) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The visible top-level windows (on the interface thread, or once no loop runs).
std::vector<GtkWidget*> VisibleWindows() {
    std::vector<GtkWidget*> visible;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        if (gtk_widget_get_visible(GTK_WIDGET(item->data))) {
            visible.push_back(GTK_WIDGET(item->data));
        }
    }
    g_list_free(windows);
    return visible;
}

GtkWidget* ErrorBox() {
    for (GtkWidget* window : VisibleWindows()) {
        if (GTK_IS_MESSAGE_DIALOG(window) && gtk_widget_get_mapped(window)) {
            return window;
        }
    }
    return nullptr;
}

std::string Text(GtkWidget* label) {
    return gtk_label_get_text(GTK_LABEL(label));
}

// A PNG of the window as the display shows it (on the interface thread).
void Screenshot(GtkWidget* window, const std::string& name) {
    GdkWindow* surface = gtk_widget_get_window(window);
    ASSERT_NE(surface, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(surface, 0, 0, gdk_window_get_width(surface),
                                                   gdk_window_get_height(surface));
    ASSERT_NE(pixbuf, nullptr);
    const std::string folder = test::BinaryDir() + "/tests/screenshots";
    boost::filesystem::create_directories(folder);
    EXPECT_TRUE(gdk_pixbuf_save(pixbuf, (folder + "/" + name + ".png").c_str(), "png", nullptr, nullptr));
    g_object_unref(pixbuf);
}

// Waits until the window has drawn what it shows (a few frames), then takes the screenshot.
void ScreenshotWhenDrawn(const std::string& name, bool errorBox = false) {
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(OnInterfaceThread([&] { Screenshot(errorBox ? ErrorBox() : Control("101"), name); }));
}

TransferStatus Complete(const std::string& id, const std::string& runPath) {
    TransferStatus status = Status(id, TransferState::Complete);
    status.runPath = runPath;
    return status;
}

// One run of the dialog with the GTK view, over scripted transfers and the real monitor (100 ms cycles).
struct WindowRun {
    // `retryPausesMs`: the dialog's pauses before automatic retries (none by default).
    explicit WindowRun(bool languages, std::vector<std::uint32_t> retryPausesMs = {}) {
        configuration =
            std::make_unique<UpdaterConfiguration>(test::DialogStringTable(languages), 0, nullptr);
        catalog.AddAllCatalogs();
        locale = std::make_unique<CatalogLocale>(catalog, "");
        userLocale = std::make_unique<CatalogLocale>(catalog, "");
        if (languages) {
            locale->SetLanguage(configuration->DefaultLanguage());
        }
        monitor = std::make_unique<TransferMonitorImpl>(&engine);
        monitor->Start();
        dialog = &Dialog::CreateSingleton(
            *view, engine, &monitor, *locale, *configuration,
            [this](const std::string& downloader, const FileIdentity&, const std::string& skin) {
                launched = downloader + " " + skin;
                return launch.get_future().wait_for(10s) == std::future_status::ready;
            },
            DialogOptions{
                std::move(retryPausesMs), {}, [] { return std::string("/logs/Log.txt"); }, userLocale.get()});
    }
    ~WindowRun() {
        if (driver.joinable()) {
            driver.join();
        }
        // The monitor's thread is joined (it may be inside a view call) before its pointer changes.
        monitor->Stop();
        monitor.reset();
        Dialog::DestroySingleton();
    }

    // Runs `drive` on a driver thread while `body` runs here (the interface thread). Whatever the driver
    // saw, it closes the dialog at the end, so that a failed step never leaves the loop running.
    void RunWithDriver(const std::function<void()>& body, const std::function<void()>& drive) {
        driver = std::thread([this, drive] {
            drive();
            dialog->Close();
        });
        body();
        bodyReturned = true;
        driver.join();
    }

    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp{"TMPDIR", scratch.Path()};
    test::ScopedEnvironment language{"LC_ALL", "C"};
    test::ScriptedTransfers engine;
    EmbeddedMessageCatalog catalog{"updater"};
    std::unique_ptr<UpdaterConfiguration> configuration;
    std::unique_ptr<CatalogLocale> locale;
    std::unique_ptr<CatalogLocale> userLocale;
    std::unique_ptr<TransferMonitorImpl> monitor;
    std::unique_ptr<DialogView> view = LoadWindow();
    Dialog* dialog = nullptr;
    std::promise<void> launch;  // the launch step waits for it
    std::string launched;       // written by the monitor's thread, read after the run
    std::atomic<bool> bodyReturned{false};
    std::thread driver;
};

TEST(GtkDialogViewTest, LanguageChoiceProgressAndTheLaunchView) {
    const test::Watchdog watchdog(60s, "GtkDialogViewTest.LanguageChoiceProgressAndTheLaunchView");
    ASSERT_TRUE(StartGtk());
    WindowRun run(true, {60000});
    constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
    TransferStatus progress = Status("DK-id", TransferState::Transferring);
    progress.progressBytes = 312 * MiB;
    progress.totalBytes = 1248 * MiB;
    progress.transferredBytes = 312 * MiB;
    progress.bytesPerSecond = 5 * MiB + MiB / 5;
    progress.secondsRemaining = 65;
    // Bytes keep arriving (about 5 MiB a poll, for 30 s) while the amount stays at 25%: the speed shows.
    std::vector<TransferStatus> downloading = {Status("DK-id", TransferState::Initialized)};
    for (std::uint64_t poll = 0; poll < 300; ++poll) {
        TransferStatus moving = progress;
        moving.transferredBytes += poll * 5 * MiB;
        downloading.push_back(moving);
    }
    run.engine.Script("DK-id", downloading);
    TransferStatus skinDone = Status("skin-de-id", TransferState::Complete);
    skinDone.runPath = "/skin/run";
    run.engine.Script("skin-de-id", {Status("skin-de-id", TransferState::Initialized), skinDone});

    std::vector<std::string> languages;
    std::string prompt;
    std::string okLabel;
    int selected = -1;
    std::string percent;
    std::string figures;
    std::string pauseLabel;
    std::string resumeLabel;
    std::string pausedStatus;
    std::string verifyingStatus;
    std::string title;
    std::string status;
    double fraction = -1;
    bool languageHidden = false;
    std::string launchText;
    bool launchBarOnly = false;
    run.RunWithDriver(
        [&] { run.dialog->Run(); },
        [&] {
            ASSERT_TRUE(WaitOnInterfaceThread(
                [&] { return Control("101") != nullptr && gtk_widget_get_mapped(Control("1004")); }));
            ASSERT_TRUE(OnInterfaceThread([&] {
                GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(Control("1004")));
                GtkTreeIter item;
                for (bool more = gtk_tree_model_get_iter_first(model, &item); more;
                     more = gtk_tree_model_iter_next(model, &item)) {
                    gchar* text = nullptr;
                    gtk_tree_model_get(model, &item, 0, &text, -1);
                    languages.emplace_back(text);
                    g_free(text);
                }
                selected = gtk_combo_box_get_active(GTK_COMBO_BOX(Control("1004")));
                prompt = Text(Control("1006"));
                okLabel = gtk_button_get_label(GTK_BUTTON(Control("1005")));
            }));
            ScreenshotWhenDrawn("language");
            // Deutsch, then Enter with the focus on the list: the list would take Enter to open itself, but
            // Enter confirms the choice.
            ASSERT_TRUE(OnInterfaceThread([&] {
                gtk_combo_box_set_active(GTK_COMBO_BOX(Control("1004")), 1);
                gtk_widget_grab_focus(Control("1004"));
                GdkEvent* enter = gdk_event_new(GDK_KEY_PRESS);
                enter->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(Control("101"))));
                enter->key.keyval = GDK_KEY_Return;
                enter->key.send_event = TRUE;
                gdk_event_set_device(enter, gdk_seat_get_keyboard(gdk_display_get_default_seat(
                                                gtk_widget_get_display(Control("101")))));
                gtk_widget_event(Control("101"), enter);
                gdk_event_free(enter);
            }));
            ASSERT_TRUE(
                WaitOnInterfaceThread([&] { return Text(Control("1007")).find("/s") != std::string::npos; }));
            ASSERT_TRUE(OnInterfaceThread([&] {
                title = gtk_window_get_title(GTK_WINDOW(Control("101")));
                status = Text(Control("1002"));
                fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(Control("1001")));
                languageHidden = !gtk_widget_get_visible(Control("1004")) &&
                                 !gtk_widget_get_visible(Control("1005")) &&
                                 !gtk_widget_get_visible(Control("1006"));
                percent = gtk_progress_bar_get_text(GTK_PROGRESS_BAR(Control("1001")));
                figures = Text(Control("1007"));
                pauseLabel = gtk_button_get_label(GTK_BUTTON(Control("1008")));
            }));
            ScreenshotWhenDrawn("progress");
            // The pause button pauses both transfers and offers to resume; the status says paused.
            ASSERT_TRUE(OnInterfaceThread([&] { gtk_button_clicked(GTK_BUTTON(Control("1008"))); }));
            ASSERT_TRUE(run.engine.WaitUntil([](const auto& calls) {
                return std::count_if(calls.begin(), calls.end(),
                                     [](const auto& call) { return call.operation == "PauseTransfer"; }) == 2;
            }));
            TransferStatus paused = progress;
            paused.state = TransferState::Paused;
            run.engine.Script("DK-id", {paused});
            ASSERT_TRUE(WaitOnInterfaceThread(
                [&] { return Text(Control("1002")) == run.locale->Translate(Message::Paused); }));
            ASSERT_TRUE(OnInterfaceThread([&] {
                resumeLabel = gtk_button_get_label(GTK_BUTTON(Control("1008")));
                pausedStatus = Text(Control("1002"));
            }));
            ScreenshotWhenDrawn("paused");
            ASSERT_TRUE(OnInterfaceThread([&] { gtk_button_clicked(GTK_BUTTON(Control("1008"))); }));
            ASSERT_TRUE(run.engine.WaitUntil([](const auto& calls) {
                return std::count_if(calls.begin(), calls.end(), [](const auto& call) {
                           return call.operation == "ResumeTransfer";
                       }) == 2;
            }));
            // A file already on disk is hashed: verifying, with the bar at how far the check has come.
            TransferStatus hashing = progress;
            hashing.checkingBytes = 400 * MiB;
            hashing.checkedBytes = 100 * MiB;
            run.engine.Script("DK-id", {hashing});
            ASSERT_TRUE(WaitOnInterfaceThread(
                [&] { return Text(Control("1002")) == run.locale->Translate(Message::VerifyingFiles); }));
            ASSERT_TRUE(OnInterfaceThread([&] { verifyingStatus = Text(Control("1007")); }));
            ScreenshotWhenDrawn("verifying");
            // The connection is lost: the notice of the next attempt takes the place of the time remaining.
            TransferStatus lost = progress;
            lost.error = TransferError::ConnectionError;
            lost.retrying = true;
            run.engine.Script("DK-id", {lost});
            ASSERT_TRUE(WaitOnInterfaceThread([&] {
                return Text(Control("1002"))
                           .rfind("Verbindung unterbrochen. Neuer Verbindungsversuch in ", 0) == 0;
            }));
            ScreenshotWhenDrawn("reconnecting");
            TransferStatus done = Status("DK-id", TransferState::Complete);
            done.runPath = "/downloader/run";
            run.engine.Script("DK-id", {done});
            // The launch step waits for `launch` while the window shows the moving bar.
            ASSERT_TRUE(WaitOnInterfaceThread([&] { return gtk_widget_get_mapped(Control("1003")); }));
            ASSERT_TRUE(OnInterfaceThread([&] {
                launchText = Text(Control("1002"));
                launchBarOnly = !gtk_widget_get_visible(Control("1001"));
            }));
            ScreenshotWhenDrawn("launch");
            run.launch.set_value();
            // The launch ends the run without the driver's Close.
            EXPECT_TRUE(Eventually([&] { return run.bodyReturned.load(); }));
        });

    EXPECT_EQ(languages, (std::vector<std::string>{"English", "Deutsch"}));
    // Before a choice the user's own locale speaks (C here: English), not the configuration's default.
    EXPECT_EQ(prompt, Message::LanguagePrompt);
    EXPECT_EQ(okLabel, "OK");
    EXPECT_EQ(percent, "25%");
    const std::string amount = run.locale->Format(Message::AmountOfTotal, "312.00 MB", "1.22 GB") + "  ";
    EXPECT_EQ(figures.substr(0, amount.size()), amount);
    EXPECT_EQ(figures.substr(figures.size() - 5), " MB/s");
    EXPECT_EQ(pauseLabel, run.locale->Translate(Message::Pause));
    EXPECT_EQ(resumeLabel, run.locale->Translate(Message::Resume));
    EXPECT_NE(pauseLabel, resumeLabel);
    EXPECT_EQ(verifyingStatus, run.locale->Format(Message::AmountOfTotal, "100.00 MB", "400.00 MB"));
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(title, "Glutlinie Downloader");
    EXPECT_EQ(status, "2 Minuten verbleibend");
    EXPECT_DOUBLE_EQ(fraction, 0.25);
    EXPECT_TRUE(languageHidden);
    EXPECT_EQ(launchText, run.locale->FormatTranslated(Message::LaunchingDownloader, "Glutlinie"));
    EXPECT_TRUE(launchBarOnly);
    EXPECT_EQ(run.launched, "/downloader/run /skin/run");
    EXPECT_EQ(run.dialog->Outcome(), DialogOutcome::Launched);
    EXPECT_TRUE(VisibleWindows().empty());
}

enum class Origin { StartUp, InterfaceThread, MonitorThread };
enum class Ending { Button, Close, Retry };

// An error box shown at start-up (before the window, on the main thread), on the interface thread (a transfer
// the engine cannot create) or from the monitor's thread (a transfer that fails), ended by its Close button
// or by a Close from another thread (what Ctrl-C does): the call that showed it returns, the run ends, no
// window stays, and the monitor's thread can be joined. A transfer that waits for a retry gets a Retry
// button, which lets the run go on to the launch.
TEST(GtkDialogViewTest, AnErrorBoxEndsByItsButtonOrByACloseWhereverItWasShown) {
    const test::Watchdog watchdog(60s,
                                  "GtkDialogViewTest.AnErrorBoxEndsByItsButtonOrByACloseWhereverItWasShown");
    ASSERT_TRUE(StartGtk());
    struct Case {
        const char* name;
        Origin origin;
        Ending ending;
    };
    const Case cases[] = {
        {"start-up, button", Origin::StartUp, Ending::Button},
        {"start-up, close", Origin::StartUp, Ending::Close},
        {"interface thread, button", Origin::InterfaceThread, Ending::Button},
        {"interface thread, close", Origin::InterfaceThread, Ending::Close},
        {"monitor thread, button", Origin::MonitorThread, Ending::Button},
        {"monitor thread, close", Origin::MonitorThread, Ending::Close},
        {"monitor thread, retry", Origin::MonitorThread, Ending::Retry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowRun run(false);
        std::string expected;
        std::string cause = "HTTP 503 for http://n/x";
        std::function<void()> body = [&] { run.dialog->Run(); };
        TransferStatus failed = Status("DK-id", TransferState::Transferring, TransferError::ConnectionError,
                                       c.ending == Ending::Retry);
        failed.errorCause = cause;
        switch (c.origin) {
            case Origin::StartUp:
                expected = run.locale->Translate(Message::DiskWriteError);
                cause = "is a symbolic link";
                body = [&] { run.dialog->ShowError(expected, cause); };
                break;
            case Origin::InterfaceThread:
                run.engine.OnStart("DK", TransferStatus());
                expected = run.locale->Translate(ErrorText(TransferError::InternalError));
                cause = "the download engine could not create a transfer";
                break;
            case Origin::MonitorThread:
                run.engine.Script("DK-id", {Status("DK-id", TransferState::Initialized), failed});
                run.engine.ScriptRetries("DK-id", {{Complete("DK-id", "/downloader/run")}});
                run.engine.Script("skin-id", {Status("skin-id", TransferState::Initialized),
                                              Complete("skin-id", "/skin/run")});
                expected = run.locale->Translate(ErrorText(TransferError::ConnectionError));
                break;
        }
        std::string caption;
        std::string message;
        std::string detail;
        std::vector<std::string> buttons;
        bool overTheWindow = false;
        bool endedByItself = false;
        run.RunWithDriver(body, [&] {
            ASSERT_TRUE(WaitOnInterfaceThread([] { return ErrorBox() != nullptr; }));
            ASSERT_TRUE(OnInterfaceThread([&] {
                GtkWidget* box = ErrorBox();
                caption = gtk_window_get_title(GTK_WINDOW(box));
                gchar* text = nullptr;
                g_object_get(box, "text", &text, nullptr);
                message = text;
                g_free(text);
                g_object_get(box, "secondary-text", &text, nullptr);
                detail = text != nullptr ? text : "";
                g_free(text);
                for (const int response :
                     {1, static_cast<int>(GTK_RESPONSE_CLOSE), static_cast<int>(GTK_RESPONSE_OK)}) {
                    if (GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(box), response)) {
                        buttons.emplace_back(gtk_button_get_label(GTK_BUTTON(button)));
                    }
                }
                GtkWindow* parent = gtk_window_get_transient_for(GTK_WINDOW(box));
                overTheWindow = parent != nullptr && GTK_WIDGET(parent) == Control("101");
            }));
            if (c.origin == Origin::MonitorThread && c.ending != Ending::Close) {
                ScreenshotWhenDrawn(c.ending == Ending::Retry ? "error-retry" : "error", true);
            }
            if (c.ending == Ending::Close) {
                run.dialog->Close();
            } else {
                const int response = c.ending == Ending::Retry ? 1 : GTK_RESPONSE_CLOSE;
                ASSERT_TRUE(OnInterfaceThread([response] {
                    gtk_button_clicked(
                        GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(ErrorBox()), response)));
                }));
            }
            if (c.ending == Ending::Retry) {
                run.launch.set_value();
            }
            endedByItself = Eventually([&] { return run.bodyReturned.load(); });
        });
        EXPECT_EQ(caption, "Emberline Downloader Error");
        EXPECT_EQ(message, expected);
        EXPECT_EQ(detail, "Details: " + cause + "; work log: /logs/Log.txt");
        const std::vector<std::string> offered = c.ending == Ending::Retry
                                                     ? std::vector<std::string>{"Retry", "Close"}
                                                     : std::vector<std::string>{"Close"};
        EXPECT_EQ(buttons, offered);
        EXPECT_EQ(overTheWindow, c.origin != Origin::StartUp);
        EXPECT_TRUE(endedByItself);
        EXPECT_EQ(run.dialog->Outcome(),
                  c.ending == Ending::Retry ? DialogOutcome::Launched : DialogOutcome::ErrorShown);
        EXPECT_TRUE(VisibleWindows().empty());
    }
}

}  // namespace
}  // namespace halcyne::Updater

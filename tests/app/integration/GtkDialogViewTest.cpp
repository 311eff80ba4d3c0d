// The GTK window under Xvfb, driven through its controls' ids from another thread while the dialog's loop
// runs on this one: language choice, progress, the error box and its dismissal. Screenshots go to
// <build>/tests/screenshots/.
#include <chrono>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/CustomBoostLocale.hpp"
#include "app/Dialog.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/StringTable.hpp"
#include "app/gtk/GtkDialogView.hpp"
#include "support/ScriptedTransfers.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

namespace fs = boost::filesystem;
using test::Status;

// One Xvfb for the whole process: GTK keeps its connection until the process ends.
bool StartDisplay() {
    static const bool started = [] {
        for (int number = 140; number < 190; ++number) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
                continue;
            }
            const std::string display = ":" + std::to_string(number);
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execlp("Xvfb", "Xvfb", display.c_str(), "-nolisten", "tcp", "-screen", "0", "800x600x24",
                         static_cast<char*>(nullptr));
                ::_exit(127);
            }
            for (int i = 0; i < 100 && !fs::exists(socket); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (fs::exists(socket)) {
                ::setenv("DISPLAY", display.c_str(), 1);
                std::atexit(+[] {});
                return GtkDialogView::Initialize();
            }
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        return false;
    }();
    return started;
}

void Screenshot(GtkWidget* window, const std::string& name) {
    GdkWindow* surface = gtk_widget_get_window(window);
    if (surface == nullptr) {
        return;
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(surface, 0, 0, gdk_window_get_width(surface),
                                                   gdk_window_get_height(surface));
    if (pixbuf != nullptr) {
        fs::create_directories(test::BinaryDir() + "/tests/screenshots");
        gdk_pixbuf_save(pixbuf, (test::BinaryDir() + "/tests/screenshots/" + name + ".png").c_str(), "png",
                        nullptr, nullptr);
        g_object_unref(pixbuf);
    }
}

// Polls (on the loop's thread) until `check` holds; false after 30 s.
bool WaitOnLoop(GtkDialogView& view, const std::function<bool()>& check) {
    for (int i = 0; i < 3000; ++i) {
        bool done = false;
        if (!view.Invoke([&] { done = check(); }, true)) {
            return false;
        }
        if (done) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

GtkWidget* ErrorBox() {
    GList* windows = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* item = windows; item != nullptr; item = item->next) {
        if (GTK_IS_MESSAGE_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
            found = GTK_WIDGET(item->data);
        }
    }
    g_list_free(windows);
    return found;
}

TEST(GtkDialogViewTest, LanguageChoiceProgressAndTheErrorBox) {
    ASSERT_TRUE(StartDisplay());
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp{"TMPDIR", scratch.Path()};
    StringTable table;
    table.Set(103, "DP");
    table.Set(104, "GP");
    table.Set(105, "en=GK;de=GK");
    table.Set(106, "en=skin-en;de=skin-de");
    table.Set(107, "DK");
    table.Set(108, "en=Emberline;de=Glutlinie");
    table.Set(109, "en=Emberline;de=Glutlinie");
    table.Set(129, "en=English;de=Deutsch");
    table.Set(130, "en");
    const UpdaterConfiguration configuration(table, 0, nullptr);
    EmbeddedMessageCatalog catalog("updater");
    catalog.AddAllCatalogs();
    CustomBoostLocale locale(catalog, "");
    locale.SetLanguage("en");
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    engine.Script("DK-id", {Status("DK-id", TransferState::Initialized), [] {
                                TransferStatus status = Status("DK-id", TransferState::Transferring);
                                status.progressBytes = 50;
                                status.totalBytes = 200;
                                status.secondsRemaining = 65;
                                return status;
                            }()});
    engine.Script("skin-de-id", {Status("skin-de-id", TransferState::Initialized)});
    auto monitor = std::make_unique<TransferMonitorImpl>(&engine, &clock);
    monitor->Start();
    GtkDialogView view;
    Dialog& dialog = Dialog::CreateSingleton(view, engine, &monitor, locale, configuration,
                                             [](const std::string&, const std::string&) { return true; });

    std::string title;
    std::string status;
    double fraction = -1;
    bool dismissed = false;
    std::thread driver([&] {
        ASSERT_TRUE(WaitOnLoop(view, [&] {
            return view.Control("101") != nullptr && gtk_widget_get_visible(view.Control("1004"));
        }));
        view.Invoke([&] { Screenshot(view.Control("101"), "language"); }, true);
        view.Invoke(
            [&] {
                gtk_combo_box_set_active(GTK_COMBO_BOX(view.Control("1004")), 1);
                gtk_button_clicked(GTK_BUTTON(view.Control("1005")));
            },
            true);
        ASSERT_TRUE(WaitOnLoop(view, [&] {
            return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(view.Control("1001"))) > 0.2;
        }));
        view.Invoke(
            [&] {
                title = gtk_window_get_title(GTK_WINDOW(view.Control("101")));
                status = gtk_label_get_text(GTK_LABEL(view.Control("1002")));
                fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(view.Control("1001")));
                Screenshot(view.Control("101"), "progress");
            },
            true);
        engine.Script("skin-de-id",
                      {Status("skin-de-id", TransferState::Transferring, TransferError::ConnectionError)});
        ASSERT_TRUE(WaitOnLoop(view, [&] { return ErrorBox() != nullptr; }));
        view.Invoke(
            [&] {
                Screenshot(ErrorBox(), "error");
                gtk_dialog_response(GTK_DIALOG(ErrorBox()), GTK_RESPONSE_OK);
                dismissed = true;
            },
            true);
    });
    dialog.Run();
    driver.join();
    monitor->Stop();
    monitor.reset();

    EXPECT_EQ(title, "Glutlinie Downloader");
    EXPECT_EQ(status, "2 Minuten verbleibend");
    EXPECT_DOUBLE_EQ(fraction, 0.25);
    EXPECT_TRUE(dismissed);
    EXPECT_EQ(dialog.Outcome(), DialogOutcome::ErrorShown);
    Dialog::DestroySingleton();
}

}  // namespace
}  // namespace halcyne::Updater

// The dialog as a GTK 3 window built from the embedded layout (resources/dialog.ui; controls named by their
// ids). Run runs GTK's main loop on the interface (main) thread; every other call may come from any thread
// and is queued to that loop. Close and ShowError wait for the loop, but never for one that has ended; a
// Close from another thread also ends an error box shown before the loop. Calls back its events only on the
// loop's thread. Built only into the window's module (GtkViewModule.cpp), which the updater loads at run
// time.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/DialogView.hpp"

typedef struct _GtkBuilder GtkBuilder;
typedef struct _GtkWidget GtkWidget;
typedef struct _GMainLoop GMainLoop;

namespace halcyne::Updater {

class GtkDialogView : public DialogView {
public:
    // Initialises GTK on the calling (main) thread; false when there is no display to use.
    static bool Initialize();

    GtkDialogView();
    ~GtkDialogView() override;
    GtkDialogView(const GtkDialogView&) = delete;
    GtkDialogView& operator=(const GtkDialogView&) = delete;

    void Run(DialogViewEvents& events) override;
    void SetTexts(const std::string& caption, const std::string& status) override;
    void ShowLanguageView(const LanguageChoice& choice) override;
    void ShowProgressView() override;
    void SetProgress(const ProgressReadout& readout) override;
    void SetPauseControl(const PauseControl& control) override;
    void ShowNotice(const std::string& text) override;
    void ShowLaunchView(const std::string& text) override;
    ErrorBoxAnswer ShowError(const ErrorBox& box) override;
    void Close() override;

    // A control by its id ("1004"), on the loop's thread; null before Run.
    GtkWidget* Control(const std::string& id) const;

private:
    struct Pending;
    static int RunPending(void* pending);
    // Runs `task` on the loop's thread: at once when called there (or before the loop, at start-up), else
    // queued, and with `wait` waited for. False when the loop has ended.
    bool Invoke(std::function<void()> task, bool wait);
    // On the interface thread: shows an error box and iterates GLib's main context until the box is
    // dismissed or the view is closed.
    void RunErrorBox(GtkWidget* parent, const ErrorBox& box);
    GtkWidget* NewErrorBox(GtkWidget* parent, const ErrorBox& box);
    ErrorBoxAnswer TakeAnswer();  // the answer of the box just dismissed (Close when it was not)
    void Quit();                  // on the loop's thread
    bool OnLoopThread() const;    // with lock_ held

    // The fields up to notice_ are touched only on the loop's thread (and before or after the loop).
    GtkBuilder* builder_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GtkWidget* errorBox_ = nullptr;
    unsigned pulseSource_ = 0;
    std::string status_;  // the status text under the bar when there is no notice
    std::string notice_;  // shown in place of the status
    DialogViewEvents* events_ = nullptr;

    mutable std::mutex lock_;  // guards the fields below
    std::condition_variable changed_;
    bool running_ = false;
    bool loopEnded_ = false;
    bool closed_ = false;
    bool errorDismissed_ = false;
    bool retryChosen_ = false;   // the box was dismissed with Retry
    std::set<unsigned> queued_;  // sources of queued tasks not yet run, removed when the loop ends
    std::thread::id loopThread_;
};

}  // namespace halcyne::Updater

#include "app/gtk/GtkDialogView.hpp"

#include <algorithm>
#include <memory>

#include <gtk/gtk.h>

extern const unsigned char halcyne_dialog_ui[];
extern const std::size_t halcyne_dialog_ui_size;

namespace halcyne::Updater {

struct GtkDialogView::Pending {
    GtkDialogView* view;
    std::function<void()> task;
    unsigned source = 0;  // set under the view's lock before the task can run
    bool done = false;    // guarded by the view's lock
};

bool GtkDialogView::Initialize() {
    return gtk_init_check(nullptr, nullptr) != FALSE;
}

GtkDialogView::GtkDialogView() = default;

GtkDialogView::~GtkDialogView() {
    if (builder_ != nullptr) {
        g_object_unref(builder_);
    }
    if (loop_ != nullptr) {
        g_main_loop_unref(loop_);
    }
}

bool GtkDialogView::OnLoopThread() const {
    return running_ && std::this_thread::get_id() == loopThread_;
}

GtkWidget* GtkDialogView::Control(const std::string& id) const {
    return builder_ == nullptr ? nullptr : GTK_WIDGET(gtk_builder_get_object(builder_, id.c_str()));
}

int GtkDialogView::RunPending(void* data) {
    auto* pending = static_cast<Pending*>(data);
    GtkDialogView* view = pending->view;
    {
        const std::lock_guard<std::mutex> guard(view->lock_);
        view->queued_.erase(pending->source);
    }
    pending->task();
    const std::lock_guard<std::mutex> guard(view->lock_);
    pending->done = true;
    view->changed_.notify_all();
    return G_SOURCE_REMOVE;
}

bool GtkDialogView::Invoke(std::function<void()> task, bool wait) {
    std::unique_lock<std::mutex> lock(lock_);
    if (loopEnded_) {
        return false;
    }
    if (!running_ || OnLoopThread()) {
        // Before the loop (start-up) or on it: the calling thread is the interface thread.
        lock.unlock();
        task();
        return true;
    }
    auto pending = std::make_shared<Pending>(Pending{this, std::move(task)});
    // Always queued, never run on this thread (as g_main_context_invoke would on a thread that can acquire
    // the context). The source holds one reference until it has run or the loop's end has removed it; it is
    // queued under the lock, so none is queued after the end.
    pending->source = g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            return RunPending((*static_cast<std::shared_ptr<Pending>*>(data)).get());
        },
        new std::shared_ptr<Pending>(pending),
        [](gpointer data) { delete static_cast<std::shared_ptr<Pending>*>(data); });
    queued_.insert(pending->source);
    if (wait) {
        changed_.wait(lock, [&] { return pending->done || loopEnded_; });
    }
    return true;
}

void GtkDialogView::Run(DialogViewEvents& events) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (running_ || closed_) {
            loopEnded_ = true;
            changed_.notify_all();
            return;
        }
    }
    builder_ = gtk_builder_new_from_string(reinterpret_cast<const char*>(halcyne_dialog_ui),
                                           static_cast<gssize>(halcyne_dialog_ui_size));
    loop_ = g_main_loop_new(nullptr, FALSE);
    events_ = &events;
    GtkWidget* window = Control("101");
    g_signal_connect(window, "delete-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                         static_cast<GtkDialogView*>(self)->Quit();
                         return TRUE;
                     }),
                     this);
    g_signal_connect(Control("1005"), "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* view = static_cast<GtkDialogView*>(self);
                         const int index = gtk_combo_box_get_active(GTK_COMBO_BOX(view->Control("1004")));
                         view->events_->OnLanguageChosen(index);
                     }),
                     this);
    g_signal_connect(Control("1008"), "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                         static_cast<GtkDialogView*>(self)->events_->OnPauseToggled();
                     }),
                     this);
    // Enter confirms the language choice wherever the focus is: the combo box would otherwise take it to
    // open its list. Its open list has a window of its own and keeps its keys.
    g_signal_connect(
        window, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer self) -> gboolean {
            auto* view = static_cast<GtkDialogView*>(self);
            const bool enter = key->keyval == GDK_KEY_Return || key->keyval == GDK_KEY_KP_Enter ||
                               key->keyval == GDK_KEY_ISO_Enter;
            GtkWidget* ok = view->Control("1005");
            if (enter && gtk_widget_get_visible(view->Control("languageRow")) &&
                gtk_widget_is_sensitive(ok)) {
                gtk_widget_activate(ok);
                return TRUE;
            }
            return FALSE;
        }),
        this);
    gtk_widget_grab_default(Control("1005"));
    {
        const std::lock_guard<std::mutex> guard(lock_);
        running_ = true;
        loopThread_ = std::this_thread::get_id();
    }
    events.OnViewOpened();
    gtk_widget_show(window);
    bool closed = false;
    {
        // A Close during OnViewOpened quit a loop that was not running yet, which g_main_loop_run would undo.
        const std::lock_guard<std::mutex> guard(lock_);
        closed = closed_;
    }
    if (!closed) {
        g_main_loop_run(loop_);
    }
    if (pulseSource_ != 0) {
        g_source_remove(pulseSource_);
        pulseSource_ = 0;
    }
    if (errorBox_ != nullptr) {
        gtk_widget_destroy(errorBox_);
        errorBox_ = nullptr;
    }
    gtk_widget_destroy(window);
    std::set<unsigned> dropped;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        loopEnded_ = true;
        dropped.swap(queued_);
        changed_.notify_all();
    }
    // Tasks still queued would find their widgets gone, or this view gone when a later loop runs the context:
    // they are removed with their sources (whoever waits for them has seen the end).
    for (const unsigned source : dropped) {
        g_source_remove(source);
    }
    // Lets GTK finish the destruction (the window leaves the screen).
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void GtkDialogView::Quit() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
    }
    if (loop_ != nullptr) {
        g_main_loop_quit(loop_);
    }
}

void GtkDialogView::SetTexts(const std::string& caption, const std::string& status) {
    Invoke(
        [this, caption, status] {
            gtk_window_set_title(GTK_WINDOW(Control("101")), caption.c_str());
            gtk_label_set_text(GTK_LABEL(Control("1002")), status.c_str());
        },
        false);
}

void GtkDialogView::ShowLanguageView(const LanguageChoice& choice) {
    Invoke(
        [this, choice] {
            auto* box = GTK_COMBO_BOX_TEXT(Control("1004"));
            for (const std::string& language : choice.languages) {
                gtk_combo_box_text_append_text(box, language.c_str());
            }
            gtk_label_set_text(GTK_LABEL(Control("1006")), choice.prompt.c_str());
            gtk_button_set_label(GTK_BUTTON(Control("1005")), choice.confirmLabel.c_str());
            gtk_combo_box_set_active(GTK_COMBO_BOX(box), 0);
            for (const char* id : {"1004", "1005", "1006"}) {
                gtk_widget_show(Control(id));
                gtk_widget_set_sensitive(Control(id), TRUE);
            }
            gtk_widget_show(Control("languageRow"));
            for (const char* id : {"1001", "1002"}) {
                gtk_widget_hide(Control(id));
            }
            gtk_widget_grab_focus(Control("1005"));
        },
        false);
}

void GtkDialogView::ShowProgressView() {
    Invoke(
        [this] {
            for (const char* id : {"1004", "1005", "1006"}) {
                gtk_widget_hide(Control(id));
                gtk_widget_set_sensitive(Control(id), FALSE);
            }
            gtk_widget_hide(Control("languageRow"));
            for (const char* id : {"1001", "1002", "progressRow"}) {
                gtk_widget_show(Control(id));
            }
        },
        false);
}

void GtkDialogView::SetProgress(const ProgressReadout& readout) {
    Invoke(
        [this, readout] {
            auto* bar = GTK_PROGRESS_BAR(Control("1001"));
            gtk_progress_bar_set_fraction(bar, std::clamp(readout.position, 0, 100) / 100.0);
            gtk_progress_bar_set_text(bar, readout.percent.c_str());
            status_ = readout.status;
            gtk_label_set_text(GTK_LABEL(Control("1002")), (notice_.empty() ? status_ : notice_).c_str());
            const std::string figures = readout.amount +
                                        (readout.amount.empty() || readout.speed.empty() ? "" : "  ") +
                                        readout.speed;
            gtk_label_set_text(GTK_LABEL(Control("1007")), figures.c_str());
        },
        false);
}

void GtkDialogView::SetPauseControl(const PauseControl& control) {
    Invoke(
        [this, control] {
            GtkWidget* button = Control("1008");
            gtk_button_set_label(GTK_BUTTON(button), control.label.c_str());
            gtk_widget_set_visible(button, control.offered ? TRUE : FALSE);
        },
        false);
}

void GtkDialogView::ShowNotice(const std::string& text) {
    Invoke(
        [this, text] {
            notice_ = text;
            gtk_label_set_text(GTK_LABEL(Control("1002")), (notice_.empty() ? status_ : notice_).c_str());
        },
        false);
}

void GtkDialogView::ShowLaunchView(const std::string& text) {
    Invoke(
        [this, text] {
            for (const char* id : {"1001", "progressRow"}) {
                gtk_widget_hide(Control(id));
            }
            gtk_widget_show(Control("1003"));
            gtk_label_set_text(GTK_LABEL(Control("1002")), text.c_str());
            if (pulseSource_ == 0) {
                pulseSource_ = g_timeout_add(
                    100,
                    [](gpointer bar) -> gboolean {
                        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
                        return G_SOURCE_CONTINUE;
                    },
                    Control("1003"));
            }
        },
        false);
}

namespace {

// The response of the Retry button (GTK's own responses are negative).
constexpr int RetryResponse = 1;

}  // namespace

GtkWidget* GtkDialogView::NewErrorBox(GtkWidget* parent, const ErrorBox& box) {
    GtkWidget* dialog =
        gtk_message_dialog_new(parent == nullptr ? nullptr : GTK_WINDOW(parent), GTK_DIALOG_MODAL,
                               GTK_MESSAGE_ERROR, GTK_BUTTONS_NONE, "%s", box.message.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), box.caption.c_str());
    if (!box.detail.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", box.detail.c_str());
        // Support asks for the detail line: it can be selected and copied, and a long path in it wraps
        // anywhere rather than widening the box.
        GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
        GList* labels = gtk_container_get_children(GTK_CONTAINER(area));
        for (GList* item = labels; item != nullptr; item = item->next) {
            if (GTK_IS_LABEL(item->data)) {
                gtk_label_set_selectable(GTK_LABEL(item->data), TRUE);
                gtk_label_set_line_wrap_mode(GTK_LABEL(item->data), PANGO_WRAP_WORD_CHAR);
            }
        }
        g_list_free(labels);
    }
    if (box.offerRetry) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), box.retryLabel.c_str(), RetryResponse);
    }
    gtk_dialog_add_button(GTK_DIALOG(dialog), box.closeLabel.c_str(), GTK_RESPONSE_CLOSE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    // The buttons, Escape and the box's close button all answer with a response.
    g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* dismissed, int response, gpointer self) {
                         auto* view = static_cast<GtkDialogView*>(self);
                         gtk_widget_destroy(GTK_WIDGET(dismissed));
                         view->errorBox_ = nullptr;
                         const std::lock_guard<std::mutex> guard(view->lock_);
                         view->errorDismissed_ = true;
                         view->retryChosen_ = response == RetryResponse;
                         view->changed_.notify_all();
                     }),
                     this);
    errorBox_ = dialog;
    return dialog;
}

void GtkDialogView::RunErrorBox(GtkWidget* parent, const ErrorBox& box) {
    gtk_widget_show(NewErrorBox(parent, box));
    // Not gtk_dialog_run: its nested loop would hold the window's loop until the box is dismissed, so a
    // Close (Ctrl-C) would wait for the user. This loop also ends on Close, which wakes the context.
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (errorDismissed_ || closed_) {
                break;
            }
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    if (errorBox_ != nullptr) {
        gtk_widget_destroy(errorBox_);
        errorBox_ = nullptr;
    }
}

ErrorBoxAnswer GtkDialogView::TakeAnswer() {
    const std::lock_guard<std::mutex> guard(lock_);
    const bool retry = errorDismissed_ && retryChosen_ && !closed_;
    retryChosen_ = false;
    return retry ? ErrorBoxAnswer::Retry : ErrorBoxAnswer::Close;
}

ErrorBoxAnswer GtkDialogView::ShowError(const ErrorBox& box) {
    bool beforeLoop = false;
    bool onLoop = false;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (loopEnded_) {
            return ErrorBoxAnswer::Close;
        }
        errorDismissed_ = false;
        retryChosen_ = false;
        beforeLoop = !running_;
        onLoop = OnLoopThread();
    }
    if (beforeLoop) {
        // At start-up, on the main thread and with no window: a box of its own.
        RunErrorBox(nullptr, box);
        return TakeAnswer();
    }
    if (onLoop) {
        // On the loop itself (an error while starting the transfers): over the window, run here.
        RunErrorBox(Control("101"), box);
        return TakeAnswer();
    }
    // From another thread: a box over the window; wait until it is dismissed or the loop has ended.
    Invoke([this, box] { gtk_widget_show(NewErrorBox(Control("101"), box)); }, false);
    {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait(lock, [&] { return errorDismissed_ || loopEnded_; });
    }
    return TakeAnswer();
}

void GtkDialogView::Close() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        if (loopEnded_) {
            return;
        }
        if (!running_) {
            // Ends an error box shown at start-up (its loop checks closed_ after each iteration); Run will
            // return at once.
            g_main_context_wakeup(nullptr);
            return;
        }
    }
    Invoke([this] { Quit(); }, true);
    std::unique_lock<std::mutex> lock(lock_);
    if (!OnLoopThread()) {
        changed_.wait(lock, [&] { return loopEnded_; });
    }
}

}  // namespace halcyne::Updater

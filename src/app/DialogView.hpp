// What the updater's dialog shows, apart from its logic: a GTK window (gtk/GtkDialogView) or a terminal
// (console/ConsoleDialogView). Run is called on the interface thread (the main thread); every other call may
// come from the interface thread or the monitor thread, and the view marshals it to wherever it draws.
// The view calls back its DialogViewEvents only on the interface thread, from inside Run.
#pragma once

#include <string>
#include <vector>

namespace halcyne::Updater {

class DialogViewEvents {
public:
    virtual ~DialogViewEvents() = default;
    // The window is shown; the dialog sets its texts and chooses the first view.
    virtual void OnViewOpened() = 0;
    // OK (or Enter) in the language view, with the index of the selected language (-1: none).
    virtual void OnLanguageChosen(int index) = 0;
    // The pause control was used (the window's button, "p" in the terminal) while it is offered.
    virtual void OnPauseToggled() = 0;
};

// The language choice, every text translated.
struct LanguageChoice {
    std::vector<std::string> languages;  // the display names in order; the first is selected
    std::string prompt;                  // above the list
    std::string confirmLabel;            // the window's OK button
    std::string inputLine;               // the terminal's question after the list ("Language [1]: ")
    std::string invalidChoice;           // the terminal's answer to anything but a listed number
};

// What the progress view shows, every text translated; a text left empty is not shown.
struct ProgressReadout {
    int position = 0;     // the bar, 0 to 100 (more shows as full)
    std::string percent;  // the position as text ("42%")
    std::string amount;   // how much of how much ("312 MB of 1.20 GB")
    std::string speed;    // the current speed ("5.20 MB/s")
    std::string status;   // the time remaining, or what happens instead ("Paused", "Verifying files…")
};

// The pause control of the progress view.
struct PauseControl {
    bool offered = false;  // false hides it
    bool paused = false;
    std::string label;    // the button: what a press does ("Pause" or "Resume")
    std::string keyHint;  // the terminal's hint, printed once when the control is first offered
};

// What an error box shows, every text translated.
struct ErrorBox {
    std::string caption;
    std::string message;
    std::string detail;       // a line for support under the message: the cause and the work log's path
    bool offerRetry = false;  // a Retry button beside Close
    std::string retryLabel;   // the Retry button
    std::string closeLabel;   // the Close button
    std::string retryPrompt;  // the terminal's question when a retry is offered ("r" then Enter retries)
};

enum class ErrorBoxAnswer {
    Close,  // Close, Escape, the box's close button, Enter alone in the terminal, or the loop ended
    Retry,  // Retry (the terminal: "r" then Enter), only when offered
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // Runs the modal loop on the calling thread: calls OnViewOpened, then reports the user's answers, and
    // returns when the window has been closed, by Close or by the user (the close button, Ctrl-C). Returns at
    // once when Close came first.
    virtual void Run(DialogViewEvents& events) = 0;

    // The window's caption and the status text under the bar.
    virtual void SetTexts(const std::string& caption, const std::string& status) = 0;
    // The language choice; Enter (the window's OK, its default button) confirms the selection.
    virtual void ShowLanguageView(const LanguageChoice& choice) = 0;
    virtual void ShowProgressView() = 0;
    // The bar, the amount, the speed and the status text.
    virtual void SetProgress(const ProgressReadout& readout) = 0;
    // Shows, changes or hides the pause control; the launch view hides it too.
    virtual void SetPauseControl(const PauseControl& control) = 0;
    // A notice shown in place of the status text until it is replaced or removed ("" removes it),
    // such as that the connection is lost and when the next attempt starts. Plain terminal output (not a
    // terminal) prints a notice as a line when it appears, not its updates.
    virtual void ShowNotice(const std::string& text) = 0;
    // The moving bar while the downloader runs, with its text.
    virtual void ShowLaunchView(const std::string& text) = 0;
    // An error box; returns the user's answer once it is dismissed, or Close when the loop has ended (a box
    // shown before Run, as at start-up, is dismissed on its own). The terminal asks only when a retry is
    // offered and its input is a terminal; otherwise it prints the box and answers Close.
    virtual ErrorBoxAnswer ShowError(const ErrorBox& box) = 0;
    // Ends the loop and waits until the interface thread has done so; returns at once once the loop has
    // ended, so that nothing waits for a loop that no longer runs.
    virtual void Close() = 0;
};

}  // namespace halcyne::Updater

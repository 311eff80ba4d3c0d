// The dialog in a terminal: a numbered language prompt on the input, then one progress line redrawn in place
// on the output when it is a terminal, measured in display columns (plain lines, one per whole percent,
// otherwise), texts and errors as lines. While the pause control is offered and the input is a terminal,
// the key p pauses and resumes (the input is read key by key, without echo, until the loop ends); an error
// that offers a retry asks on the input when it is a terminal ("r" then Enter retries). Run runs on the
// interface thread and reads the input there; ShowError reads it on the calling thread (the monitor thread)
// once the language is chosen, after the loop has handed the input over; every other call may come from any
// thread (the monitor thread, the signal thread). Calls back its events only from inside Run.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include "app/DialogView.hpp"

namespace halcyne::Updater {

class ConsoleDialogView : public DialogView {
public:
    // `input` is read for the language choice; `output` gets every text. Neither is closed.
    explicit ConsoleDialogView(int input = 0, int output = 2);
    ~ConsoleDialogView() override;
    ConsoleDialogView(const ConsoleDialogView&) = delete;
    ConsoleDialogView& operator=(const ConsoleDialogView&) = delete;

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

private:
    // The language index read from the input: Enter or the end of the input take the first; -1 when the
    // view was closed meanwhile.
    int PromptLanguage(const LanguageChoice& choice);
    // Reads keys while the loop runs: p toggles the pause while it is offered; hands the input over to an
    // error box's question meanwhile. Returns once the view is closed.
    void ReadKeys(DialogViewEvents& events);
    // The input's key-by-key mode, without echo, and back (with lock_ held).
    void EnterKeyMode();
    void LeaveKeyMode();
    void Wake();  // ends the loop's wait for a key (or a prompt's for a line)
    void DrainWake();
    // Waits for a byte of the input or a wake (which it takes): Byte with the byte in `c`, Woken, Again (an
    // interruption: nothing to do), or Ended (the end of the input, or it failed).
    enum class Input { Byte, Woken, Again, Ended };
    Input NextByte(char& c);
    // Reads one line; false when the view was closed first. `ended` is set at the end of the input.
    bool ReadLine(std::string& line, bool& ended);
    void Write(const std::string& text);  // with lock_ held
    void EndBarLine();                    // with lock_ held
    void DrawBar();                       // with lock_ held, on a terminal
    int Width() const;

    const int input_;
    const int output_;
    const bool terminal_;
    const bool inputTerminal_;    // the input is a terminal: an error box may ask whether to retry
    int wakePipe_[2] = {-1, -1};  // written by Close to end a wait for input

    std::mutex lock_;  // guards every field below and the output
    std::condition_variable changed_;
    bool closed_ = false;
    bool running_ = false;
    bool loopEnded_ = false;
    std::thread::id loopThread_;
    std::string caption_;
    std::string status_;
    LanguageChoice choice_;
    bool languagePending_ = false;
    PauseControl pause_;
    bool hintShown_ = false;
    bool keyMode_ = false;  // the input is in key mode; saved_ holds its settings before
    termios saved_{};
    bool questionPending_ = false;  // an error box waits to ask on the input
    bool inputHandedOver_ = false;  // the loop has stopped reading keys for it
    bool barDrawn_ = false;         // a bar line is on the terminal without its line feed
    int lastPosition_ = -1;
    ProgressReadout readout_;
    std::string notice_;  // shown in place of the readout's status
};

}  // namespace halcyne::Updater

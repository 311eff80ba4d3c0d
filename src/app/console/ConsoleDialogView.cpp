#include "app/console/ConsoleDialogView.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "app/console/DisplayWidth.hpp"

namespace halcyne::Updater {

namespace {

// The narrowest line that still holds a bar: its brackets and a space, "100% ", and a bar of at least a
// quarter of the line (up to ten columns) beside the text.
constexpr std::size_t MinimumBarWidth = 20;
// Between the readout's texts on the line.
constexpr char Separator[] = "  ";

std::string Figures(int percent) {
    return (percent < 10 ? "  " : percent < 100 ? " " : "") + std::to_string(percent) + "% ";
}

std::string Join(const std::vector<const std::string*>& parts) {
    std::string text;
    for (const std::string* part : parts) {
        if (!part->empty()) {
            text += (text.empty() ? "" : Separator) + *part;
        }
    }
    return text;
}

std::string Trimmed(std::string line) {
    line.erase(0, line.find_first_not_of(" \t\r"));
    line.erase(line.find_last_not_of(" \t\r") + 1);
    return line;
}

}  // namespace

ConsoleDialogView::ConsoleDialogView(int input, int output)
    : input_(input), output_(output), terminal_(::isatty(output) == 1), inputTerminal_(::isatty(input) == 1) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
}

ConsoleDialogView::~ConsoleDialogView() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        LeaveKeyMode();
    }
    for (const int fd : wakePipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ConsoleDialogView::Write(const std::string& text) {
    const char* data = text.data();
    std::size_t size = text.size();
    while (size > 0) {
        const ssize_t written = ::write(output_, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // nowhere to show it; the run goes on
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void ConsoleDialogView::EndBarLine() {
    if (barDrawn_) {
        Write("\n");
        barDrawn_ = false;
    }
}

int ConsoleDialogView::Width() const {
    winsize size{};
    if (terminal_ && ::ioctl(output_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void ConsoleDialogView::Run(DialogViewEvents& events) {
    {
        std::unique_lock<std::mutex> lock(lock_);
        if (closed_ || running_) {
            loopEnded_ = true;
            changed_.notify_all();
            return;
        }
        running_ = true;
        loopThread_ = std::this_thread::get_id();
    }
    events.OnViewOpened();
    LanguageChoice choice;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (languagePending_ && !closed_) {
            choice = choice_;
        }
    }
    if (!choice.languages.empty()) {
        const int index = PromptLanguage(choice);
        if (index >= 0) {
            events.OnLanguageChosen(index);
        }
    }
    ReadKeys(events);
    std::unique_lock<std::mutex> lock(lock_);
    LeaveKeyMode();
    EndBarLine();
    loopEnded_ = true;
    changed_.notify_all();
}

int ConsoleDialogView::PromptLanguage(const LanguageChoice& choice) {
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            std::string prompt = choice.prompt + "\n";
            for (std::size_t i = 0; i < choice.languages.size(); ++i) {
                prompt += "  " + std::to_string(i + 1) + ") " + choice.languages[i] + "\n";
            }
            prompt += choice.inputLine;
            Write(prompt);
        }
        std::string line;
        bool ended = false;
        if (!ReadLine(line, ended)) {
            return -1;
        }
        const std::lock_guard<std::mutex> guard(lock_);
        if (ended) {
            Write("\n");
        }
        line = Trimmed(line);
        if (line.empty()) {
            languagePending_ = false;
            return 0;
        }
        char* end = nullptr;
        const long index = std::strtol(line.c_str(), &end, 10);
        if (*end == '\0' && index >= 1 && index <= static_cast<long>(choice.languages.size())) {
            languagePending_ = false;
            return static_cast<int>(index - 1);
        }
        if (ended) {
            // No more input to ask again: the preselected first language.
            return 0;
        }
        Write(choice.invalidChoice + "\n");
    }
}

ConsoleDialogView::Input ConsoleDialogView::NextByte(char& c) {
    pollfd fds[2] = {{input_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    const int ready = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
        return errno == EINTR ? Input::Again : Input::Ended;
    }
    // A wake is taken before the caller reads closed_: Close sets it before it wakes, so a wake taken here
    // is never a Close missed.
    if (wakePipe_[0] >= 0 && fds[1].revents != 0) {
        DrainWake();
        return Input::Woken;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
        return Input::Again;
    }
    const ssize_t got = ::read(input_, &c, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return Input::Again;
    }
    return got <= 0 ? Input::Ended : Input::Byte;
}

bool ConsoleDialogView::ReadLine(std::string& line, bool& ended) {
    for (;;) {
        char c = 0;
        const Input input = NextByte(c);
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (closed_) {
                return false;
            }
        }
        if (input == Input::Ended) {
            ended = true;
            return true;
        }
        if (input != Input::Byte) {
            continue;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
}

void ConsoleDialogView::Wake() {
    if (wakePipe_[1] >= 0) {
        const char wake = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(wakePipe_[1], &wake, 1);
    }
}

void ConsoleDialogView::DrainWake() {
    char buffer[16];
    while (wakePipe_[0] >= 0 && ::read(wakePipe_[0], buffer, sizeof buffer) > 0) {
    }
}

void ConsoleDialogView::EnterKeyMode() {
    if (keyMode_ || !inputTerminal_ || ::tcgetattr(input_, &saved_) != 0) {
        return;
    }
    termios keys = saved_;
    // Signals (Ctrl-C) stay on; keys come one by one and are not echoed into the progress line.
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    keyMode_ = ::tcsetattr(input_, TCSANOW, &keys) == 0;
}

void ConsoleDialogView::LeaveKeyMode() {
    if (keyMode_) {
        ::tcsetattr(input_, TCSANOW, &saved_);
        keyMode_ = false;
    }
}

void ConsoleDialogView::ReadKeys(DialogViewEvents& events) {
    bool inputOpen = inputTerminal_;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(lock_);
            // An error box's question takes the input in line mode until it has its answer.
            if (questionPending_) {
                LeaveKeyMode();
                inputHandedOver_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return closed_ || !questionPending_; });
                inputHandedOver_ = false;
            }
            if (closed_) {
                return;
            }
            if (!inputOpen || !pause_.offered) {
                LeaveKeyMode();
                changed_.wait(lock,
                              [&] { return closed_ || questionPending_ || (inputOpen && pause_.offered); });
                continue;
            }
            EnterKeyMode();
        }
        // A wake (a question or the end) is seen at the top.
        char c = 0;
        const Input input = NextByte(c);
        if (input == Input::Ended) {
            inputOpen = false;  // the terminal is gone: nothing more to read
            continue;
        }
        if (input != Input::Byte) {
            continue;
        }
        bool toggle = false;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            toggle = (c == 'p' || c == 'P') && pause_.offered && !closed_;
        }
        if (toggle) {
            events.OnPauseToggled();
        }
    }
}

void ConsoleDialogView::SetTexts(const std::string& caption, const std::string& status) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (caption != caption_) {
        EndBarLine();
        Write(caption + "\n");
        caption_ = caption;
    }
    status_ = status;
}

void ConsoleDialogView::ShowLanguageView(const LanguageChoice& choice) {
    const std::lock_guard<std::mutex> guard(lock_);
    choice_ = choice;
    languagePending_ = !choice.languages.empty();
}

void ConsoleDialogView::ShowProgressView() {
    const std::lock_guard<std::mutex> guard(lock_);
    languagePending_ = false;
}

void ConsoleDialogView::SetProgress(const ProgressReadout& readout) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
        return;
    }
    const int percent = std::clamp(readout.position, 0, 100);
    readout_ = readout;
    if (!terminal_) {
        if (percent != lastPosition_) {
            const std::string& status = notice_.empty() ? readout.status : notice_;
            Write(Figures(percent) + Join({&readout.amount, &status}) + "\n");
            lastPosition_ = percent;
        }
        return;
    }
    lastPosition_ = percent;
    DrawBar();
}

void ConsoleDialogView::SetPauseControl(const PauseControl& control) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
        return;
    }
    pause_ = control;
    if (control.offered && inputTerminal_ && !hintShown_ && !control.keyHint.empty()) {
        hintShown_ = true;
        EndBarLine();
        Write(control.keyHint + "\n");
    }
    if (!control.offered) {
        // The terminal is the player's again at once (the downloader launched next inherits it); the loop,
        // woken, stops reading keys.
        LeaveKeyMode();
        Wake();
    }
    changed_.notify_all();
}

void ConsoleDialogView::ShowNotice(const std::string& text) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (closed_ || text == notice_) {
        return;
    }
    const bool appears = notice_.empty();
    notice_ = text;
    if (!terminal_) {
        if (appears && !text.empty()) {
            Write(text + "\n");
        }
        return;
    }
    if (lastPosition_ >= 0 || !text.empty()) {
        DrawBar();
    }
}

void ConsoleDialogView::DrawBar() {
    const int percent = std::max(lastPosition_, 0);
    const std::string figures = Figures(percent);
    const std::string& status = notice_.empty() ? readout_.status : notice_;
    // One line, redrawn in place: [#####-----] NN% amount  speed  status, measured in display columns and no
    // wider than the terminal less its last column, so that the cursor never wraps (a wrapped line would not
    // be redrawn by the carriage return but pile up a new line at every step). What does not fit goes, the
    // speed first, then the amount; the status is cut last. Below 21 columns there is no room for a bar.
    const std::size_t width = static_cast<std::size_t>(std::max(Width() - 1, 1));
    std::string line;
    if (width >= MinimumBarWidth) {
        const std::size_t room = width - figures.size() - 3 - std::clamp<std::size_t>(width / 4, 2, 10);
        std::string text;
        for (const std::string& candidate : {Join({&readout_.amount, &readout_.speed, &status}),
                                             Join({&readout_.amount, &status}), status}) {
            if (DisplayColumns(candidate) <= room) {
                text = candidate;
                break;
            }
        }
        if (text.empty()) {
            text = FitColumns(status, room);
        }
        const std::size_t barColumns = width - DisplayColumns(text) - figures.size() - 3;
        const std::size_t filled = barColumns * static_cast<std::size_t>(percent) / 100;
        line = "[" + std::string(filled, '#') + std::string(barColumns - filled, '-') + "] " + figures + text;
    } else {
        line = FitColumns(figures + status, width);
    }
    const std::size_t shown = DisplayColumns(line);
    Write("\r" + line + std::string(width > shown ? width - shown : 0, ' '));
    barDrawn_ = true;
}

void ConsoleDialogView::ShowLaunchView(const std::string& text) {
    const std::lock_guard<std::mutex> guard(lock_);
    pause_ = PauseControl();
    LeaveKeyMode();
    Wake();
    EndBarLine();
    Write(text + "\n");
    changed_.notify_all();
}

ErrorBoxAnswer ConsoleDialogView::ShowError(const ErrorBox& box) {
    {
        std::unique_lock<std::mutex> lock(lock_);
        EndBarLine();
        Write(box.caption + "\n" + box.message + "\n" + (box.detail.empty() ? "" : box.detail + "\n"));
        // Only a player at a terminal is asked; a script or a pipe gets the message and the run ends. While
        // the language is still asked for, the input belongs to that prompt.
        if (!box.offerRetry || !inputTerminal_ || closed_ || languagePending_) {
            return ErrorBoxAnswer::Close;
        }
        // The loop reads keys from the input: it hands the input over first (on the loop's own thread it is
        // not reading now).
        if (running_ && !loopEnded_ && loopThread_ != std::this_thread::get_id()) {
            questionPending_ = true;
            changed_.notify_all();
            Wake();
            changed_.wait(lock, [&] { return inputHandedOver_ || closed_ || loopEnded_; });
            if (closed_) {
                questionPending_ = false;
                return ErrorBoxAnswer::Close;
            }
        }
        LeaveKeyMode();
        // Only an answer typed after the question counts: an Enter pressed while the bar ran would close.
        ::tcflush(input_, TCIFLUSH);
        Write(box.retryPrompt);
    }
    std::string line;
    bool ended = false;
    const bool answered = ReadLine(line, ended);
    const std::lock_guard<std::mutex> guard(lock_);
    questionPending_ = false;
    changed_.notify_all();
    if (!answered) {
        return ErrorBoxAnswer::Close;  // closed meanwhile
    }
    if (ended) {
        Write("\n");
    }
    line = Trimmed(line);
    return !closed_ && (line == "r" || line == "R") ? ErrorBoxAnswer::Retry : ErrorBoxAnswer::Close;
}

void ConsoleDialogView::Close() {
    std::unique_lock<std::mutex> lock(lock_);
    closed_ = true;
    changed_.notify_all();
    Wake();
    // Wait for the loop to see it, unless it has ended, never ran, or this is its own thread.
    if (running_ && loopThread_ != std::this_thread::get_id()) {
        changed_.wait(lock, [&] { return loopEnded_; });
    }
}

}  // namespace halcyne::Updater

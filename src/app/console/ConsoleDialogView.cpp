#include "app/console/ConsoleDialogView.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/Utf8.hpp"

namespace halcyne::Updater {

namespace {

// The number of characters (code points) of UTF-8 text, for fitting a line to the terminal.
std::size_t Columns(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// The text cut to at most `columns` characters, never inside a character.
std::string Fit(const std::string& text, std::size_t columns) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == columns) {
                return text.substr(0, i);
            }
            ++count;
        }
    }
    return text;
}

// The narrowest line that still holds a bar: two bar columns, its brackets and a space, "100% " and ten
// columns of text.
constexpr std::size_t MinimumBarWidth = 20;

}  // namespace

ConsoleDialogView::ConsoleDialogView(int input, int output)
    : input_(input), output_(output), terminal_(::isatty(output) == 1), inputTerminal_(::isatty(input) == 1) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
}

ConsoleDialogView::~ConsoleDialogView() {
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
    std::vector<std::string> languages;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (languagePending_ && !closed_) {
            languages = languages_;
        }
    }
    if (!languages.empty()) {
        const int index = PromptLanguage(languages);
        if (index >= 0) {
            events.OnLanguageChosen(index);
        }
    }
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [&] { return closed_; });
    EndBarLine();
    loopEnded_ = true;
    changed_.notify_all();
}

int ConsoleDialogView::PromptLanguage(const std::vector<std::string>& languages) {
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            std::string prompt = "Please select the language for your download:\n";
            for (std::size_t i = 0; i < languages.size(); ++i) {
                prompt += "  " + std::to_string(i + 1) + ") " + languages[i] + "\n";
            }
            prompt += "Language [1]: ";
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
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line.empty()) {
            languagePending_ = false;
            return 0;
        }
        char* end = nullptr;
        const long choice = std::strtol(line.c_str(), &end, 10);
        if (*end == '\0' && choice >= 1 && choice <= static_cast<long>(languages.size())) {
            languagePending_ = false;
            return static_cast<int>(choice - 1);
        }
        if (ended) {
            // No more input to ask again: the preselected first language.
            return 0;
        }
        Write("Please enter a number from 1 to " + std::to_string(languages.size()) + ".\n");
    }
}

bool ConsoleDialogView::ReadLine(std::string& line, bool& ended) {
    for (;;) {
        pollfd fds[2] = {{input_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int ready = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno != EINTR) {
            ended = true;
            return true;
        }
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (closed_) {
                return false;
            }
        }
        if (ready <= 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = ::read(input_, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            ended = true;
            return true;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
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

void ConsoleDialogView::ShowLanguageView(const std::vector<std::string>& languages) {
    const std::lock_guard<std::mutex> guard(lock_);
    languages_ = languages;
    languagePending_ = !languages.empty();
}

void ConsoleDialogView::ShowProgressView() {
    const std::lock_guard<std::mutex> guard(lock_);
    languagePending_ = false;
}

void ConsoleDialogView::SetProgress(int position, const std::string& timeRemaining) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
        return;
    }
    const int percent = std::clamp(position, 0, 100);
    timeRemaining_ = timeRemaining;
    if (!terminal_) {
        if (percent != lastPosition_) {
            const std::string figures = (percent < 10    ? "  "
                                         : percent < 100 ? " "
                                                         : "") +
                                        std::to_string(percent) + "% ";
            Write(figures + (notice_.empty() ? timeRemaining : notice_) + "\n");
            lastPosition_ = percent;
        }
        return;
    }
    lastPosition_ = percent;
    DrawBar();
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
    DrawBar();
}

void ConsoleDialogView::DrawBar() {
    const int percent = std::max(lastPosition_, 0);
    const std::string figures = (percent < 10    ? "  "
                                 : percent < 100 ? " "
                                                 : "") +
                                std::to_string(percent) + "% ";
    const std::string& timeRemaining = notice_.empty() ? timeRemaining_ : notice_;
    // One line, redrawn in place: [#####-----] NN% text, no wider than the terminal (less its last column,
    // so that the cursor never wraps: a wrapped line would not be redrawn by the carriage return but pile up
    // a new line at every step). Below 21 columns there is no room for a bar: NN% text, cut to fit.
    const std::size_t width = static_cast<std::size_t>(std::max(Width() - 1, 1));
    std::string line = "\r";
    if (width >= MinimumBarWidth) {
        const std::size_t textColumns = std::min(Columns(timeRemaining), width / 2);
        const std::size_t barColumns = width - textColumns - figures.size() - 3;
        const std::size_t filled = barColumns * static_cast<std::size_t>(percent) / 100;
        line += "[" + std::string(filled, '#') + std::string(barColumns - filled, '-') + "] " + figures +
                Fit(timeRemaining, textColumns);
    } else {
        line += Fit(figures + timeRemaining, width);
    }
    const std::size_t shown = Columns(line) - 1;
    line += std::string(width > shown ? width - shown : 0, ' ');
    Write(line);
    barDrawn_ = true;
}

void ConsoleDialogView::ShowLaunchView(const std::string& text) {
    const std::lock_guard<std::mutex> guard(lock_);
    EndBarLine();
    Write(text + "\n");
}

ErrorBoxAnswer ConsoleDialogView::ShowError(const ErrorBox& box) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        EndBarLine();
        Write(box.caption + "\n" + box.message + "\n" + (box.detail.empty() ? "" : box.detail + "\n"));
        // Only a player at a terminal is asked; a script or a pipe gets the message and the run ends. While
        // the language is still asked for, the input belongs to that prompt.
        if (!box.offerRetry || !inputTerminal_ || closed_ || languagePending_) {
            return ErrorBoxAnswer::Close;
        }
        // Only an answer typed after the question counts: an Enter pressed while the bar ran would close.
        ::tcflush(input_, TCIFLUSH);
        Write(box.retryPrompt);
    }
    std::string line;
    bool ended = false;
    if (!ReadLine(line, ended)) {
        return ErrorBoxAnswer::Close;  // closed meanwhile
    }
    const std::lock_guard<std::mutex> guard(lock_);
    if (ended) {
        Write("\n");
    }
    line.erase(0, line.find_first_not_of(" \t\r"));
    line.erase(line.find_last_not_of(" \t\r") + 1);
    return !closed_ && (line == "r" || line == "R") ? ErrorBoxAnswer::Retry : ErrorBoxAnswer::Close;
}

void ConsoleDialogView::Close() {
    std::unique_lock<std::mutex> lock(lock_);
    closed_ = true;
    changed_.notify_all();
    if (wakePipe_[1] >= 0) {
        const char wake = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(wakePipe_[1], &wake, 1);
    }
    // Wait for the loop to see it, unless it has ended, never ran, or this is its own thread.
    if (running_ && loopThread_ != std::this_thread::get_id()) {
        changed_.wait(lock, [&] { return loopEnded_; });
    }
}

}  // namespace halcyne::Updater

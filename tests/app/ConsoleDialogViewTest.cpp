// The terminal view over pipes (no terminal): the language prompt's answers, plain progress lines without
// escape codes, notices once, errors as caption, message and detail line without a question, and a Close that
// ends a prompt waiting for input. On a pseudo-terminal: the bar line fitted to the terminal's width, a
// notice in place of the time remaining, and the question an error box asks when it offers a retry.
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "app/console/ConsoleDialogView.hpp"

namespace halcyne::Updater {
namespace {

// Reads everything that is in the pipe now.
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

struct Pipes {
    Pipes() {
        EXPECT_EQ(::pipe(input), 0);
        EXPECT_EQ(::pipe2(output, O_NONBLOCK), 0);
    }
    ~Pipes() {
        for (const int fd : {input[0], input[1], output[0], output[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    void Type(const std::string& text) {
        EXPECT_EQ(::write(input[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void EndInput() {
        ::close(input[1]);
        input[1] = -1;
    }
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
};

// Shows the language view on opening and records the choice; closes the view once chosen.
class Events : public DialogViewEvents {
public:
    explicit Events(DialogView& view) : view_(view) {}
    void OnViewOpened() override { view_.ShowLanguageView({"English", "Deutsch", "Italiano"}); }
    void OnLanguageChosen(int index) override {
        chosen = index;
        view_.Close();  // on the loop's own thread: must not wait for itself
    }
    int chosen = -2;

private:
    DialogView& view_;
};

TEST(ConsoleDialogViewTest, LanguagePromptAnswers) {
    struct Case {
        const char* name;
        std::string typed;
        bool endInput;
        int chosen;
    };
    for (const Case& c :
         {Case{"Enter takes item 1", "\n", false, 0}, Case{"end of input takes item 1", "", true, 0},
          Case{"a number", " 2 \n", false, 1}, Case{"wrong, then right", "9\nx\n3\n", false, 2},
          Case{"wrong, then end of input", "0", true, 0}}) {
        SCOPED_TRACE(c.name);
        Pipes pipes;
        ConsoleDialogView view(pipes.input[0], pipes.output[1]);
        Events events(view);
        pipes.Type(c.typed);
        if (c.endInput) {
            pipes.EndInput();
        }
        view.Run(events);
        EXPECT_EQ(events.chosen, c.chosen);
        const std::string shown = Drain(pipes.output[0]);
        EXPECT_EQ(shown.rfind("Please select the language for your download:\n  1) English\n  2) Deutsch\n"
                              "  3) Italiano\nLanguage [1]: ",
                              0),
                  0u)
            << shown;
    }
}

// An error box as the dialog fills it.
ErrorBox Box(bool offerRetry) {
    return {"Emberline Downloader Error",
            "Something failed.",
            "Details: HTTP 503 for http://n/x",
            offerRetry,
            "Retry",
            "Close",
            "Type r and press Enter to try again, or press Enter to close: "};
}

TEST(ConsoleDialogViewTest, PlainLinesOnePerWholePercentNoticesOnceAndErrorsWithoutAQuestion) {
    Pipes pipes;
    ConsoleDialogView view(pipes.input[0], pipes.output[1]);
    view.SetTexts("Emberline Downloader", "Calculating time remaining");
    view.ShowProgressView();
    for (const int position : {0, 0, 1, 1}) {
        view.SetProgress(position, "2 minutes remaining");
    }
    // A notice is a line when it appears, not at each update; while it stands the percent lines carry it.
    view.ShowNotice("Reconnecting in 2 s...");
    view.ShowNotice("Reconnecting in 1 s...");
    view.SetProgress(2, "2 minutes remaining");
    view.ShowNotice("");
    for (const int position : {55, 150}) {
        view.SetProgress(position, "2 minutes remaining");
    }
    view.ShowLaunchView("Launching Emberline Downloader");
    // The input is no terminal: a retry offered is not asked for.
    pipes.Type("r\n");
    EXPECT_EQ(view.ShowError(Box(true)), ErrorBoxAnswer::Close);
    EXPECT_EQ(
        Drain(pipes.output[0]),
        "Emberline Downloader\n  0% 2 minutes remaining\n  1% 2 minutes remaining\nReconnecting in 2 s...\n"
        "  2% Reconnecting in 1 s...\n 55% 2 minutes remaining\n100% 2 minutes remaining\nLaunching "
        "Emberline Downloader\nEmberline Downloader Error\nSomething failed.\nDetails: HTTP 503 for "
        "http://n/x\n");
}

// A pseudo-terminal whose slave side the view reads; what the view writes goes to a pipe.
struct TerminalInput {
    TerminalInput() {
        EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(::pipe2(output, O_NONBLOCK), 0);
    }
    ~TerminalInput() {
        for (const int fd : {master, slave, output[0], output[1]}) {
            ::close(fd);
        }
    }
    void Type(const std::string& text) {
        EXPECT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int master = -1;
    int slave = -1;
    int output[2] = {-1, -1};
};

TEST(ConsoleDialogViewTest, AnErrorThatOffersARetryAsksAtATerminal) {
    struct Case {
        bool offerRetry;
        std::string typed;
        ErrorBoxAnswer answer;
    };
    const std::vector<Case> cases = {
        {true, "r\n", ErrorBoxAnswer::Retry},  {true, " R \n", ErrorBoxAnswer::Retry},
        {true, "\n", ErrorBoxAnswer::Close},   {true, "retry\n", ErrorBoxAnswer::Close},
        {false, "r\n", ErrorBoxAnswer::Close},  // nothing is asked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        TerminalInput terminal;
        ConsoleDialogView view(terminal.slave, terminal.output[1]);
        // Typed before the question (and arrived): never taken for its answer.
        terminal.Type("\n");
        pollfd arrived{terminal.slave, POLLIN, 0};
        ASSERT_EQ(::poll(&arrived, 1, 10000), 1);
        const std::string box =
            "Emberline Downloader Error\nSomething failed.\nDetails: HTTP 503 for http://n/x\n";
        const std::string question = "Type r and press Enter to try again, or press Enter to close: ";
        std::string shown;
        std::thread player([&] {
            if (c.offerRetry) {
                while (shown.find(question) == std::string::npos) {
                    shown += Drain(terminal.output[0]);
                    std::this_thread::yield();
                }
                terminal.Type(c.typed);
            }
        });
        EXPECT_EQ(view.ShowError(Box(c.offerRetry)), c.answer);
        player.join();
        shown += Drain(terminal.output[0]);
        EXPECT_EQ(shown, c.offerRetry ? box + question : box);
    }
}

TEST(ConsoleDialogViewTest, CloseEndsTheRetryQuestion) {
    TerminalInput terminal;
    ConsoleDialogView view(terminal.slave, terminal.output[1]);
    std::thread closer([&] {
        std::string shown;
        while (shown.find("to close: ") == std::string::npos) {
            shown += Drain(terminal.output[0]);
            std::this_thread::yield();
        }
        view.Close();
    });
    EXPECT_EQ(view.ShowError(Box(true)), ErrorBoxAnswer::Close);
    closer.join();
}

TEST(ConsoleDialogViewTest, ANoticeTakesThePlaceOfTheTimeRemainingOnTheBar) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_col = 41;
    size.ws_row = 24;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    {
        ConsoleDialogView view(slave, slave);
        view.SetProgress(50, "1 minute remaining");
        view.ShowNotice("Reconnecting in 8 s");
        view.SetProgress(50, "1 minute remaining");
        view.ShowNotice("");
    }
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    const std::string withTime = "\r[#######-------]  50% 1 minute remaining";
    const std::string withNotice = "\r[######-------]  50% Reconnecting in 8 s";
    EXPECT_EQ(Drain(master), withTime + withNotice + withNotice + withTime);
    ::close(slave);
    ::close(master);
}

TEST(ConsoleDialogViewTest, TheBarLineFitsTheTerminalWidth) {
    struct Case {
        unsigned short columns;
        int position;
        std::string text;
        std::string line;  // after the carriage return: always one column less than the terminal
    };
    const std::vector<Case> cases = {
        {41, 50, "1 minute remaining", "[#######-------]  50% 1 minute remaining"},
        {41, 0, "", "[--------------------------------]   0% "},
        // The text takes at most half the line, counted in characters, not bytes.
        {31, 100, "Noch ungefähr eine Minute", "[#######] 100% Noch ungefähr e"},
        {21, 7, "Calculating time remaining", "[--]   7% Calculatin"},
        // Too narrow for a bar: the figures, then as much text as fits.
        {20, 7, "3 seconds remaining", "  7% 3 seconds rema"},
        {12, 100, "3 seconds remaining", "100% 3 seco"},
        {4, 55, "3 seconds remaining", " 55"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.columns) + " columns");
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_col = c.columns;
        size.ws_row = 24;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
        {
            ConsoleDialogView view(slave, slave);
            view.SetProgress(c.position, c.text);
        }
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(Drain(master), "\r" + c.line);
        ::close(slave);
        ::close(master);
    }
}

TEST(ConsoleDialogViewTest, CloseFromAnotherThreadEndsAPromptWaitingForInput) {
    Pipes pipes;
    ConsoleDialogView view(pipes.input[0], pipes.output[1]);
    Events events(view);
    std::thread loop([&] { view.Run(events); });
    std::string shown;
    while (shown.find("Language [1]: ") == std::string::npos) {
        shown += Drain(pipes.output[0]);
        std::this_thread::yield();
    }
    view.Close();  // returns once the loop has ended
    loop.join();
    EXPECT_EQ(events.chosen, -2);
    view.Close();  // after the loop: at once
}

}  // namespace
}  // namespace halcyne::Updater

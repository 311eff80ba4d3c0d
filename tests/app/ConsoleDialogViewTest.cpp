// The terminal view over pipes (no terminal): the language prompt's answers, plain progress lines without
// escape codes, notices once, errors as caption, message and detail line without a question, and a Close that
// ends a prompt waiting for input. On a pseudo-terminal: the bar line fitted to the terminal's width in
// display columns (the translated readouts of the East Asian and Thai catalogs measured by glibc's wcswidth),
// a notice in place of the status, the p key pausing while the loop runs, and the question an error box asks
// when it offers a retry, also while the loop reads keys.
#include <atomic>
#include <chrono>
#include <clocale>
#include <cwchar>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "app/CatalogLocale.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"
#include "app/console/ConsoleDialogView.hpp"
#include "app/console/DisplayWidth.hpp"

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
    void OnViewOpened() override {
        view_.ShowLanguageView({{"English", "Deutsch", "Italiano"},
                                "Bitte wählen Sie die Sprache:",
                                "OK",
                                "Sprache [1]: ",
                                "Bitte geben Sie eine Zahl von 1 bis 3 ein."});
    }
    void OnLanguageChosen(int index) override {
        chosen = index;
        view_.Close();  // on the loop's own thread: must not wait for itself
    }
    void OnPauseToggled() override { ++toggles; }
    int chosen = -2;
    std::atomic<int> toggles{0};

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
        // The choice's own texts: the prompt, the list, the input line, and the answer to a wrong number.
        EXPECT_EQ(shown.rfind("Bitte wählen Sie die Sprache:\n  1) English\n  2) Deutsch\n"
                              "  3) Italiano\nSprache [1]: ",
                              0),
                  0u)
            << shown;
        EXPECT_EQ(shown.find("Bitte geben Sie eine Zahl von 1 bis 3 ein.\n") != std::string::npos,
                  c.typed == "9\nx\n3\n")
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

// A readout with the status only.
ProgressReadout At(int position, const std::string& status) {
    ProgressReadout readout;
    readout.position = position;
    readout.percent = std::to_string(position) + "%";
    readout.status = status;
    return readout;
}

TEST(ConsoleDialogViewTest, PlainLinesOnePerWholePercentNoticesOnceAndErrorsWithoutAQuestion) {
    Pipes pipes;
    ConsoleDialogView view(pipes.input[0], pipes.output[1]);
    view.SetTexts("Emberline Downloader", "Calculating time remaining");
    view.ShowProgressView();
    // No terminal on the input: no hint for a key that is not read.
    view.SetPauseControl({true, false, "Pause", "Press p to pause or resume."});
    for (const int position : {0, 0, 1, 1}) {
        view.SetProgress(At(position, "2 minutes remaining"));
    }
    // A notice is a line when it appears, not at each update; while it stands the percent lines carry it.
    view.ShowNotice("Reconnecting in 2 s...");
    view.ShowNotice("Reconnecting in 1 s...");
    view.SetProgress(At(2, "2 minutes remaining"));
    view.ShowNotice("");
    // The amount goes on the line; the speed, which changes at every step, does not.
    ProgressReadout amount = At(55, "2 minutes remaining");
    amount.amount = "55.00 MB of 100.00 MB";
    amount.speed = "1.00 MB/s";
    view.SetProgress(amount);
    view.SetProgress(At(150, "2 minutes remaining"));
    view.ShowLaunchView("Launching Emberline Downloader");
    // The input is no terminal: a retry offered is not asked for.
    pipes.Type("r\n");
    EXPECT_EQ(view.ShowError(Box(true)), ErrorBoxAnswer::Close);
    EXPECT_EQ(
        Drain(pipes.output[0]),
        "Emberline Downloader\n  0% 2 minutes remaining\n  1% 2 minutes remaining\nReconnecting in 2 s...\n"
        "  2% Reconnecting in 1 s...\n 55% 55.00 MB of 100.00 MB  2 minutes remaining\n100% 2 minutes "
        "remaining\nLaunching "
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
        view.SetProgress(At(50, "1 minute remaining"));
        view.ShowNotice("Reconnecting in 8 s");
        view.SetProgress(At(50, "1 minute remaining"));
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
        std::string amount = "";
        std::string speed = "";
    };
    const std::vector<Case> cases = {
        {41, 50, "1 minute remaining", "[#######-------]  50% 1 minute remaining"},
        {41, 0, "", "[--------------------------------]   0% "},
        // What does not fit goes: the speed first, then the amount; the status is cut last.
        {61, 25, "1 minute remaining", "[###-----------]  25% 1.00 GB of 4.00 GB  1 minute remaining",
         "1.00 GB of 4.00 GB", "9.50 MB/s"},
        {81, 25, "1 minute remaining",
         "[#####------------------]  25% 1.00 GB of 4.00 GB  9.50 MB/s  1 minute remaining",
         "1.00 GB of 4.00 GB", "9.50 MB/s"},
        {41, 25, "1 minute remaining", "[###-----------]  25% 1 minute remaining", "1.00 GB of 4.00 GB",
         "9.50 MB/s"},
        // The bar keeps a quarter of the line; the text is cut in characters, not bytes.
        {31, 100, "Noch ungefähr eine Minute", "[#######] 100% Noch ungefähr e"},
        {21, 7, "Calculating time remaining", "[-----]   7% Calcula"},
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
            ProgressReadout readout = At(c.position, c.text);
            readout.amount = c.amount;
            readout.speed = c.speed;
            view.SetProgress(readout);
        }
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(Drain(master), "\r" + c.line);
        ::close(slave);
        ::close(master);
    }
}

// glibc's own count of the columns of UTF-8 text, in its C.UTF-8 locale (-1: a character it cannot show).
int GlibcColumns(const std::string& text) {
    const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
        ADD_FAILURE() << "no C.UTF-8 locale";
        return -1;
    }
    const locale_t previous = ::uselocale(utf8);
    std::wstring wide(text.size() + 1, L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    const int columns = length == static_cast<std::size_t>(-1) ? -1 : ::wcswidth(wide.data(), length);
    ::uselocale(previous);
    ::freelocale(utf8);
    return columns;
}

// The readouts of a download in the East Asian and Thai catalogs, as the dialog writes them, and a notice:
// at every width the line is redrawn in place (a carriage return, never a line feed) and each drawing takes
// exactly the terminal's width less one column as glibc counts it, so that it neither wraps nor leaves the
// end of a longer drawing behind.
TEST(ConsoleDialogViewTest, TranslatedReadoutsStayOneLineAsWideAsTheTerminalLessOne) {
    EmbeddedMessageCatalog catalog("updater");
    catalog.AddAllCatalogs();
    for (const char* language : {"ja", "ko", "zh_CN", "zh_TW", "th"}) {
        CatalogLocale locale(catalog, language);
        ProgressReadout downloading;
        downloading.position = 26;
        downloading.percent = "26%";
        downloading.amount = locale.Format(Message::AmountOfTotal, locale.ByteSizeText(312u << 20),
                                           locale.ByteSizeText(std::uint64_t{1200} << 20));
        downloading.speed = locale.Format(Message::Speed, locale.ByteSizeText(5452595));
        downloading.status = locale.TimeRemainingText(3725);
        ProgressReadout verifying = downloading;
        verifying.speed.clear();
        verifying.status = locale.Translate(Message::VerifyingFiles);
        ProgressReadout paused = verifying;
        paused.status = locale.Translate(Message::Paused);
        const std::string notice = locale.Format(Message::Reconnecting, "16");
        ASSERT_NE(notice, Message::Reconnecting);
        for (const unsigned short columns : {16, 20, 24, 33, 41, 60, 80, 132}) {
            SCOPED_TRACE(std::string(language) + " at " + std::to_string(columns) + " columns");
            int master = -1;
            int slave = -1;
            winsize size{};
            size.ws_col = columns;
            size.ws_row = 24;
            ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
            ::fcntl(master, F_SETFL, O_NONBLOCK);
            std::string shown;
            {
                ConsoleDialogView view(slave, slave);
                for (const ProgressReadout& readout : {downloading, verifying, paused, downloading}) {
                    view.SetProgress(readout);
                    shown += Drain(master);
                }
                view.ShowNotice(notice);
                shown += Drain(master);
            }
            ::close(slave);
            ::close(master);
            ASSERT_EQ(shown.find('\n'), std::string::npos) << shown;
            ASSERT_EQ(shown.front(), '\r');
            std::size_t drawings = 0;
            for (std::size_t start = 1; start <= shown.size();) {
                const std::size_t end = std::min(shown.find('\r', start), shown.size());
                const std::string drawing = shown.substr(start, end - start);
                EXPECT_EQ(GlibcColumns(drawing), columns - 1) << drawing;
                ++drawings;
                start = end + 1;
            }
            EXPECT_EQ(drawings, 5u);
        }
    }
}

// The view's own count of columns agrees with glibc's for every text of every catalog, and a cut never
// splits a character, leaves a wide one sticking out, or parts a mark from its letter.
TEST(ConsoleDialogViewTest, DisplayColumnsAgreeWithGlibcAndCutsKeepCharactersWhole) {
    EmbeddedMessageCatalog catalog("updater");
    catalog.AddAllCatalogs();
    for (const auto& [name, id] : LocaleCatalogTable()) {
        CatalogLocale locale(catalog, name);
        for (const std::string_view message : AllMessages) {
            const std::string text = locale.Translate(std::string(message));
            EXPECT_EQ(static_cast<int>(DisplayColumns(text)), GlibcColumns(text)) << name << ": " << text;
        }
    }
    struct Cut {
        std::string text;
        std::size_t columns;
        std::string fitted;
    };
    const std::vector<Cut> cuts = {
        {"abc", 2, "ab"},
        {"残り時間", 3, "残"},  // a wide character that would stick out is left out
        {"残り時間", 4, "残り"},
        {"ที่เหลือ", 1, "ที่"},  // the marks stay with their letter
        {"ที่เหลือ", 2, "ที่เ"},
        {"e\xCC\x81t\xC3\xA9", 1, "e\xCC\x81"},  // a combining accent after its letter
        {"\xFF"
         "ab",
         2,
         "\xFF"
         "a"},  // an invalid byte counts one column
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.text);
        EXPECT_EQ(FitColumns(cut.text, cut.columns), cut.fitted);
        EXPECT_LE(DisplayColumns(FitColumns(cut.text, cut.columns)), cut.columns);
    }
}

// Shows the progress view with the pause control on opening; counts the presses.
class PauseEvents : public DialogViewEvents {
public:
    explicit PauseEvents(DialogView& view) : view_(view) {}
    void OnViewOpened() override {
        view_.ShowProgressView();
        view_.SetPauseControl({true, false, "Pause", "Press p to pause or resume."});
    }
    void OnLanguageChosen(int) override {}
    void OnPauseToggled() override { ++toggles; }
    std::atomic<int> toggles{0};

private:
    DialogView& view_;
};

// Waits (at most 10 s) until `done` holds.
bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 10000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// At a terminal the loop reads keys without echo: p (or P) pauses and resumes, other keys do nothing; an
// error box asked from another thread takes the input over for its question and gives it back; at the end
// the terminal is as it was.
TEST(ConsoleDialogViewTest, ThePKeyTogglesThePauseAndTheRetryQuestionTakesTheInputOver) {
    TerminalInput terminal;
    termios before{};
    ASSERT_EQ(::tcgetattr(terminal.slave, &before), 0);
    ::fcntl(terminal.master, F_SETFL, O_NONBLOCK);
    ConsoleDialogView view(terminal.slave, terminal.output[1]);
    PauseEvents events(view);
    std::thread loop([&] { view.Run(events); });
    std::string shown;
    ASSERT_TRUE(Eventually([&] {
        shown += Drain(terminal.output[0]);
        return shown.find("Press p to pause or resume.\n") != std::string::npos;
    }));
    terminal.Type("p");
    ASSERT_TRUE(Eventually([&] { return events.toggles == 1; }));
    terminal.Type("xP");
    ASSERT_TRUE(Eventually([&] { return events.toggles == 2; }));
    EXPECT_EQ(Drain(terminal.master), "");  // nothing echoed into the progress line

    ErrorBoxAnswer answer = ErrorBoxAnswer::Close;
    std::thread monitor([&] { answer = view.ShowError(Box(true)); });
    ASSERT_TRUE(Eventually([&] {
        shown += Drain(terminal.output[0]);
        return shown.find("to close: ") != std::string::npos;
    }));
    terminal.Type("p r\n");  // the whole line is the answer: not a key for the pause
    monitor.join();
    EXPECT_EQ(answer, ErrorBoxAnswer::Close);
    EXPECT_EQ(events.toggles, 2);

    std::thread again([&] { answer = view.ShowError(Box(true)); });
    ASSERT_TRUE(Eventually([&] {
        shown += Drain(terminal.output[0]);
        return shown.find("to close: ", shown.find("to close: ") + 1) != std::string::npos;
    }));
    terminal.Type("r\n");
    again.join();
    EXPECT_EQ(answer, ErrorBoxAnswer::Retry);

    terminal.Type("p");
    ASSERT_TRUE(Eventually([&] { return events.toggles == 3; }));
    view.Close();
    loop.join();
    termios after{};
    ASSERT_EQ(::tcgetattr(terminal.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(ConsoleDialogViewTest, CloseFromAnotherThreadEndsAPromptWaitingForInput) {
    Pipes pipes;
    ConsoleDialogView view(pipes.input[0], pipes.output[1]);
    Events events(view);
    std::thread loop([&] { view.Run(events); });
    std::string shown;
    while (shown.find("Sprache [1]: ") == std::string::npos) {
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

// A DialogView for tests: records every call as a line of text, and plays the user's part from a queue of
// actions that the test posts (choose a language, press the close button). Run runs on whatever thread the
// test calls it from; the other calls may come from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/DialogView.hpp"

namespace halcyne::test {

class RecordingDialogView : public Updater::DialogView {
public:
    // Lines, in order: "Texts <caption> | <status>", "Languages <a>,<b>", "ProgressView",
    // "Progress <position> <status>", "Notice <text>", "LaunchView <text>", "Error <caption> | <message>"
    // followed by "Detail <detail>" and, when a retry is offered, "RetryOffered <retry> | <close>", "Close",
    // and "Closed" when the loop has ended.
    std::vector<std::string> Lines() const;
    // Waits (at most 30 s) until a line satisfies `match`; false on time-out.
    bool WaitForLine(const std::function<bool(const std::string&)>& match) const;
    bool WaitForLine(const std::string& line) const;
    // Every readout and pause control shown, in order, and the last language choice.
    std::vector<Updater::ProgressReadout> Readouts() const;
    std::vector<Updater::PauseControl> PauseControls() const;
    Updater::LanguageChoice Choice() const;

    // The user's actions, taken by Run in order on its thread.
    void ChooseLanguage(int index);
    void PressClose();
    void PressPause();
    // The answers to the next error boxes, in order; once they are used up every box answers Close.
    void AnswerErrors(std::vector<Updater::ErrorBoxAnswer> answers);

    // When set, SetProgress calls it first (a test makes it throw).
    std::function<void()> onSetProgress;

    void Run(Updater::DialogViewEvents& events) override;
    void SetTexts(const std::string& caption, const std::string& status) override;
    void ShowLanguageView(const Updater::LanguageChoice& choice) override;
    void ShowProgressView() override;
    void SetProgress(const Updater::ProgressReadout& readout) override;
    void SetPauseControl(const Updater::PauseControl& control) override;
    void ShowNotice(const std::string& text) override;
    void ShowLaunchView(const std::string& text) override;
    Updater::ErrorBoxAnswer ShowError(const Updater::ErrorBox& box) override;
    void Close() override;

private:
    void Add(const std::string& line);

    mutable std::mutex lock_;  // guards every field below
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<Updater::ProgressReadout> readouts_;
    std::vector<Updater::PauseControl> pauseControls_;
    Updater::LanguageChoice choice_;
    std::deque<std::function<void(Updater::DialogViewEvents&)>> actions_;
    std::deque<Updater::ErrorBoxAnswer> answers_;
    bool closeRequested_ = false;
};

}  // namespace halcyne::test

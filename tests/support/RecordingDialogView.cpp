#include "support/RecordingDialogView.hpp"

#include <chrono>

namespace halcyne::test {

std::vector<std::string> RecordingDialogView::Lines() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

bool RecordingDialogView::WaitForLine(const std::function<bool(const std::string&)>& match) const {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] {
        for (const std::string& line : lines_) {
            if (match(line)) {
                return true;
            }
        }
        return false;
    });
}

bool RecordingDialogView::WaitForLine(const std::string& line) const {
    return WaitForLine([&](const std::string& candidate) { return candidate == line; });
}

std::vector<Updater::ProgressReadout> RecordingDialogView::Readouts() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return readouts_;
}

std::vector<Updater::PauseControl> RecordingDialogView::PauseControls() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return pauseControls_;
}

Updater::LanguageChoice RecordingDialogView::Choice() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return choice_;
}

void RecordingDialogView::PressPause() {
    const std::lock_guard<std::mutex> guard(lock_);
    actions_.push_back([](Updater::DialogViewEvents& events) { events.OnPauseToggled(); });
    changed_.notify_all();
}

void RecordingDialogView::ChooseLanguage(int index) {
    const std::lock_guard<std::mutex> guard(lock_);
    actions_.push_back([index](Updater::DialogViewEvents& events) { events.OnLanguageChosen(index); });
    changed_.notify_all();
}

void RecordingDialogView::PressClose() {
    const std::lock_guard<std::mutex> guard(lock_);
    closeRequested_ = true;
    changed_.notify_all();
}

void RecordingDialogView::Add(const std::string& line) {
    const std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(line);
    changed_.notify_all();
}

void RecordingDialogView::Run(Updater::DialogViewEvents& events) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (closeRequested_) {
            lines_.push_back("Closed");
            return;
        }
    }
    events.OnViewOpened();
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        changed_.wait(lock, [&] { return closeRequested_ || !actions_.empty(); });
        if (closeRequested_) {
            break;
        }
        auto action = std::move(actions_.front());
        actions_.pop_front();
        lock.unlock();
        action(events);
        lock.lock();
    }
    lines_.push_back("Closed");
    changed_.notify_all();
}

void RecordingDialogView::SetTexts(const std::string& caption, const std::string& status) {
    Add("Texts " + caption + " | " + status);
}

void RecordingDialogView::ShowLanguageView(const Updater::LanguageChoice& choice) {
    const std::vector<std::string>& languages = choice.languages;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        choice_ = choice;
    }
    std::string line = "Languages ";
    for (std::size_t i = 0; i < languages.size(); ++i) {
        line += (i > 0 ? "," : "") + languages[i];
    }
    Add(line);
}

void RecordingDialogView::ShowProgressView() {
    Add("ProgressView");
}

void RecordingDialogView::SetProgress(const Updater::ProgressReadout& readout) {
    if (onSetProgress) {
        onSetProgress();
    }
    {
        const std::lock_guard<std::mutex> guard(lock_);
        readouts_.push_back(readout);
    }
    Add("Progress " + std::to_string(readout.position) + " " + readout.status);
}

void RecordingDialogView::SetPauseControl(const Updater::PauseControl& control) {
    const std::lock_guard<std::mutex> guard(lock_);
    pauseControls_.push_back(control);
    changed_.notify_all();
}

void RecordingDialogView::ShowLaunchView(const std::string& text) {
    Add("LaunchView " + text);
}

void RecordingDialogView::ShowNotice(const std::string& text) {
    Add("Notice " + text);
}

Updater::ErrorBoxAnswer RecordingDialogView::ShowError(const Updater::ErrorBox& box) {
    const std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back("Error " + box.caption + " | " + box.message);
    lines_.push_back("Detail " + box.detail);
    if (box.offerRetry) {
        lines_.push_back("RetryOffered " + box.retryLabel + " | " + box.closeLabel);
    }
    changed_.notify_all();
    if (answers_.empty()) {
        return Updater::ErrorBoxAnswer::Close;
    }
    const Updater::ErrorBoxAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void RecordingDialogView::AnswerErrors(std::vector<Updater::ErrorBoxAnswer> answers) {
    const std::lock_guard<std::mutex> guard(lock_);
    answers_.assign(answers.begin(), answers.end());
}

void RecordingDialogView::Close() {
    const std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back("Close");
    closeRequested_ = true;
    changed_.notify_all();
}

}  // namespace halcyne::test

// A stand-in for the window's module, built in four variants: FAKE_VIEW_MODULE_WORKING makes a view that
// does nothing, FAKE_VIEW_MODULE_BARE exports nothing, FAKE_VIEW_MODULE_STALE carries another interface
// version (its factory must never be called), FAKE_VIEW_MODULE_REFUSING makes no view and says why.
#include <cstdio>
#include <cstdlib>

#include "app/DialogViewModule.hpp"

namespace {

class FakeView : public halcyne::Updater::DialogView {
public:
    void Run(halcyne::Updater::DialogViewEvents&) override {}
    void SetTexts(const std::string&, const std::string&) override {}
    void ShowLanguageView(const halcyne::Updater::LanguageChoice&) override {}
    void ShowProgressView() override {}
    void SetProgress(const halcyne::Updater::ProgressReadout&) override {}
    void SetPauseControl(const halcyne::Updater::PauseControl&) override {}
    void ShowNotice(const std::string&) override {}
    void ShowLaunchView(const std::string&) override {}
    halcyne::Updater::ErrorBoxAnswer ShowError(const halcyne::Updater::ErrorBox&) override {
        return halcyne::Updater::ErrorBoxAnswer::Close;
    }
    void Close() override {}
};

}  // namespace

#ifndef FAKE_VIEW_MODULE_BARE
extern "C" {

__attribute__((visibility("default"))) extern const unsigned halcyne_dialog_view_module_version;
#ifdef FAKE_VIEW_MODULE_STALE
const unsigned halcyne_dialog_view_module_version = halcyne::Updater::DialogViewModuleVersion + 1;
#else
const unsigned halcyne_dialog_view_module_version = halcyne::Updater::DialogViewModuleVersion;
#endif

__attribute__((visibility("default"))) halcyne::Updater::DialogView* halcyne_create_dialog_view(
    [[maybe_unused]] char* reason, [[maybe_unused]] std::size_t reasonSize) {
#if defined(FAKE_VIEW_MODULE_STALE)
    std::abort();  // a module of another version is never called
#elif defined(FAKE_VIEW_MODULE_REFUSING)
    std::snprintf(reason, reasonSize, "%s", "no display here");
    return nullptr;
#else
    return new FakeView();
#endif
}

}  // extern "C"
#endif

// Chooses the updater's view: the GTK window from its module beside the executable, or the terminal. Called
// once on the main thread at start-up, before any other thread uses a view. Loading a module runs its
// factory (which starts GTK on this thread); a loaded module is never unloaded.
#pragma once

#include <memory>
#include <string>

#include "app/DialogView.hpp"

namespace halcyne::Updater {

struct LoadedView {
    std::unique_ptr<DialogView> view;  // null when the module could not make one
    std::string reason;                // why not, when view is null
};

// Loads the view module at the absolute path `path` (never searched for) and makes its view. A file that is
// missing or not a loadable library, a library without the module's symbols, a module of another interface
// version and a module whose factory fails all give a null view and the reason.
LoadedView LoadViewModule(const std::string& path);

// The folder of the running executable as the kernel names it (/proc/self/exe), never the current folder
// or a search path; "" when it cannot be read.
std::string ExecutableFolder();

struct ViewChoice {
    std::unique_ptr<DialogView> view;
    // Why the window was wanted but the terminal is used instead; "" when it was not wanted or is used.
    std::string windowUnavailable;
};

// `ui` is HALCYNE_UI ("console": the terminal, never loading the module; "gtk": the window even without a
// display variable; anything else: the window when `display`). The window comes from GtkViewModuleName in
// `moduleFolder`; when it cannot be made the terminal view is used and the reason is given.
ViewChoice ChooseDialogView(const std::string& ui, bool display, const std::string& moduleFolder);

}  // namespace halcyne::Updater

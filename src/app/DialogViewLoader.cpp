#include "app/DialogViewLoader.hpp"

#include <array>
#include <climits>

#include <dlfcn.h>
#include <unistd.h>

#include "app/DialogViewModule.hpp"
#include "app/console/ConsoleDialogView.hpp"

namespace halcyne::Updater {

namespace {

std::string LoadError() {
    const char* error = ::dlerror();
    return error != nullptr ? error : "unknown error";
}

}  // namespace

LoadedView LoadViewModule(const std::string& path) {
    LoadedView loaded;
    if (path.empty() || path.front() != '/') {
        // dlopen would search the library path for a bare name and resolve a relative one against the
        // current folder: only a module at a known place is loaded.
        loaded.reason = "the window module's path is not absolute: \"" + path + "\"";
        return loaded;
    }
    // Every symbol is bound now, so that a module built against another GTK fails here, not in the middle
    // of a run. The handle is kept for the process: the view's code and GTK stay mapped until exit.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        loaded.reason = "cannot load the window module: " + LoadError();
        return loaded;
    }
    const auto* version = static_cast<const unsigned*>(::dlsym(module, DialogViewModuleVersionSymbol));
    auto* factory =
        reinterpret_cast<DialogViewModuleFactory*>(::dlsym(module, DialogViewModuleFactorySymbol));
    if (version == nullptr || factory == nullptr) {
        loaded.reason = path + " is not a window module (it lacks " +
                        (version == nullptr ? DialogViewModuleVersionSymbol : DialogViewModuleFactorySymbol) +
                        ")";
        return loaded;
    }
    if (*version != DialogViewModuleVersion) {
        loaded.reason = path + " is a window module of interface version " + std::to_string(*version) +
                        ", this updater needs version " + std::to_string(DialogViewModuleVersion);
        return loaded;
    }
    std::array<char, 512> reason{};
    loaded.view.reset(factory(reason.data(), reason.size()));
    if (!loaded.view) {
        reason.back() = '\0';
        loaded.reason = std::string("the window module could not make the window: ") +
                        (reason.front() != '\0' ? reason.data() : "no reason given");
    }
    return loaded;
}

std::string ExecutableFolder() {
    std::array<char, PATH_MAX + 1> target{};
    const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size() - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size() - 1) {
        return {};
    }
    std::string path(target.data(), static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (path.front() != '/' || slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

ViewChoice ChooseDialogView(const std::string& ui, bool display, const std::string& moduleFolder) {
    ViewChoice choice;
    if (ui != "console" && (display || ui == "gtk")) {
        if (moduleFolder.empty()) {
            choice.windowUnavailable = "the updater's own folder is unknown: no window module to load";
        } else {
            const std::string separator = moduleFolder.back() == '/' ? "" : "/";
            LoadedView loaded = LoadViewModule(moduleFolder + separator + GtkViewModuleName);
            choice.view = std::move(loaded.view);
            choice.windowUnavailable = std::move(loaded.reason);
        }
    }
    if (!choice.view) {
        choice.view = std::make_unique<ConsoleDialogView>();
    }
    return choice;
}

}  // namespace halcyne::Updater

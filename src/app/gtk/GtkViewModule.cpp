// The GTK window's module (libhalcyne-gtk.so): the two symbols the updater looks up, and nothing else
// exported. The factory starts GTK on the calling (main) thread and makes a GtkDialogView.
#include <cstdio>
#include <exception>
#include <type_traits>

#include "app/DialogViewModule.hpp"
#include "app/gtk/GtkDialogView.hpp"

namespace {

void WriteReason(char* reason, std::size_t reasonSize, const char* text) {
    if (reason != nullptr && reasonSize > 0) {
        std::snprintf(reason, reasonSize, "%s", text);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) extern const unsigned halcyne_dialog_view_module_version;
const unsigned halcyne_dialog_view_module_version = halcyne::Updater::DialogViewModuleVersion;

__attribute__((visibility("default"))) halcyne::Updater::DialogView* halcyne_create_dialog_view(
    char* reason, std::size_t reasonSize) {
    // Nothing thrown may cross into the caller through a C function.
    try {
        if (!halcyne::Updater::GtkDialogView::Initialize()) {
            WriteReason(reason, reasonSize, "GTK could not start (no display it can open)");
            return nullptr;
        }
        return new halcyne::Updater::GtkDialogView();
    } catch (const std::exception& error) {
        WriteReason(reason, reasonSize, error.what());
    } catch (...) {
        WriteReason(reason, reasonSize, "unknown error");
    }
    return nullptr;
}

}  // extern "C"

// The factory's signature is the one the updater calls through.
static_assert(
    std::is_same_v<decltype(halcyne_create_dialog_view), halcyne::Updater::DialogViewModuleFactory>);

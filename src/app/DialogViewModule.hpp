// The interface between the updater and a view module: a shared library loaded at run time (the GTK window,
// libhalcyne-gtk.so, so that the updater itself never links GTK). A module exports two C symbols and nothing
// else: its interface version, read before any of its code runs, and a factory that makes the view. Both
// sides are built from this header; a module whose version differs is refused without being called, so that
// a module left from another build never sees a DialogView of another layout. The updater calls the factory
// on its main thread, before the view is used; the view it returns belongs to the caller (delete it through
// its virtual destructor), and the module stays loaded for the rest of the process.
#pragma once

#include <cstddef>

#include "app/DialogView.hpp"

namespace halcyne::Updater {

// Bumped whenever DialogView or the factory's signature changes.
inline constexpr unsigned DialogViewModuleVersion = 3;

// The file name of the GTK window's module, beside the updater's executable.
inline constexpr const char* GtkViewModuleName = "libhalcyne-gtk.so";

// The exported names.
inline constexpr const char* DialogViewModuleVersionSymbol = "halcyne_dialog_view_module_version";
inline constexpr const char* DialogViewModuleFactorySymbol = "halcyne_create_dialog_view";

extern "C" {
// Makes the view on the calling (main) thread, starting the toolkit when needed. Null when it cannot, with
// a NUL-terminated reason of at most `reasonSize` bytes (cut short when longer) written to `reason`.
typedef DialogView* DialogViewModuleFactory(char* reason, std::size_t reasonSize);
}

}  // namespace halcyne::Updater

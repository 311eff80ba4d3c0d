// How the updater chooses its view: the window from a module in the given folder (stand-in modules here),
// or the terminal, with the reason whenever the window was wanted and cannot be had. Each case puts its
// module in a folder of its own, so that whether the module was loaded shows in the process's loaded
// libraries.
#include <boost/filesystem.hpp>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/DialogViewLoader.hpp"
#include "app/DialogViewModule.hpp"
#include "app/console/ConsoleDialogView.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

enum class Module { None, Working, Bare, Stale, Refusing, NotALibrary };

// Puts the module of that kind in `folder` under the window module's name.
void PlaceModule(const std::string& folder, Module module) {
    const std::string target = folder + "/" + GtkViewModuleName;
    const char* variant = nullptr;
    switch (module) {
        case Module::None:
            return;
        case Module::NotALibrary:
            test::WriteFileText(target, "#!/bin/sh\necho not a library\n");
            return;
        case Module::Working:
            variant = "working";
            break;
        case Module::Bare:
            variant = "bare";
            break;
        case Module::Stale:
            variant = "stale";
            break;
        case Module::Refusing:
            variant = "refusing";
            break;
    }
    boost::filesystem::copy_file(
        test::BuiltProgram(std::string("tests/libfake_view_module_") + variant + ".so"), target);
}

bool Loaded(const std::string& path) {
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
}

TEST(DialogViewLoaderTest, ChoosesTheWindowOrTheTerminalAndSaysWhyTheWindowIsMissing) {
    const std::string needed = std::to_string(DialogViewModuleVersion);
    const std::string stale = std::to_string(DialogViewModuleVersion + 1);
    struct Case {
        const char* name;
        const char* ui;  // HALCYNE_UI
        bool display;
        Module module;
        bool window;         // the module's view is chosen
        bool loaded;         // the module was loaded
        std::string reason;  // a part of the reason; "" for none
    };
    const Case cases[] = {
        {"display", "", true, Module::Working, true, true, ""},
        {"no display", "", false, Module::Working, false, false, ""},
        {"forced window without display", "gtk", false, Module::Working, true, true, ""},
        {"forced terminal never loads the module", "console", true, Module::Working, false, false, ""},
        {"unknown setting: as unset", "window", true, Module::Working, true, true, ""},
        {"no module", "", true, Module::None, false, false, "cannot load the window module: "},
        {"forced window, no module", "gtk", false, Module::None, false, false, "No such file or directory"},
        {"not a library", "gtk", true, Module::NotALibrary, false, false, "cannot load the window module: "},
        {"library without the symbols", "", true, Module::Bare, false, true,
         "is not a window module (it lacks halcyne_dialog_view_module_version)"},
        {"another interface version", "gtk", true, Module::Stale, false, true,
         "is a window module of interface version " + stale + ", this updater needs version " + needed},
        {"factory fails", "gtk", true, Module::Refusing, false, true,
         "the window module could not make the window: no display here"},
        {"forced terminal, broken module", "console", true, Module::NotALibrary, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchFolder folder;
        PlaceModule(folder.Path(), c.module);
        const ViewChoice choice = ChooseDialogView(c.ui, c.display, folder.Path());
        ASSERT_TRUE(choice.view);
        EXPECT_EQ(dynamic_cast<ConsoleDialogView*>(choice.view.get()) == nullptr, c.window);
        if (c.reason.empty()) {
            EXPECT_EQ(choice.windowUnavailable, "");
        } else {
            EXPECT_NE(choice.windowUnavailable.find(c.reason), std::string::npos) << choice.windowUnavailable;
        }
        EXPECT_EQ(Loaded(folder / GtkViewModuleName), c.loaded);
    }
}

// The module is loaded only from an absolute place: a relative folder or an unknown one is never searched
// (library path, current folder), even when a module is there.
TEST(DialogViewLoaderTest, LoadsOnlyFromAnAbsoluteFolder) {
    test::ScratchFolder folder;
    PlaceModule(folder.Path(), Module::Working);
    const std::string previous = boost::filesystem::current_path().string();
    boost::filesystem::current_path(folder.Path());
    const ViewChoice relative = ChooseDialogView("gtk", true, ".");
    const ViewChoice unknown = ChooseDialogView("gtk", true, "");
    boost::filesystem::current_path(previous);
    EXPECT_NE(dynamic_cast<ConsoleDialogView*>(relative.view.get()), nullptr);
    EXPECT_NE(relative.windowUnavailable.find("not absolute"), std::string::npos)
        << relative.windowUnavailable;
    EXPECT_NE(dynamic_cast<ConsoleDialogView*>(unknown.view.get()), nullptr);
    EXPECT_NE(unknown.windowUnavailable.find("folder is unknown"), std::string::npos);
    EXPECT_FALSE(Loaded(folder / GtkViewModuleName));
}

TEST(DialogViewLoaderTest, ExecutableFolderIsWhereThisProgramIs) {
    EXPECT_EQ(ExecutableFolder(), boost::filesystem::canonical(test::BuiltProgram("tests")).string());
}

}  // namespace
}  // namespace halcyne::Updater

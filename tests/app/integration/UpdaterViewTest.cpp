// The built updater without GTK: the executable needs none of GTK's libraries (the window is a module), and
// when the window is wanted but its module or GTK cannot be loaded, it runs in the terminal and its work log
// says why, at a log level that leaves out errors. The stamped manifest host (port 1 on the loopback)
// refuses connections, so every run shows its connection error at once and ends.
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "app/Messages.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;

// The dynamic section's NEEDED entries (readelf -d) and every library the loader maps for it (ldd).
std::string Libraries(const std::string& binary) {
    const auto needed = test::RunProgram("/usr/bin/readelf", {"-d", binary});
    const auto closure = test::RunProgram("/usr/bin/ldd", {binary});
    EXPECT_EQ(needed.exitStatus, 0) << needed.errors;
    EXPECT_EQ(closure.exitStatus, 0) << closure.errors;
    return needed.output + closure.output;
}

TEST(UpdaterViewTest, TheUpdaterNeedsNoGtkAndItsWindowModuleDoes) {
    const std::string updater = Libraries(test::BuiltProgram("src/halcyne-updater"));
    const std::string module = Libraries(test::BuiltProgram("src/libhalcyne-gtk.so"));
    ASSERT_NE(updater.find("libc.so"), std::string::npos) << updater;
    for (const char* library : {"libgtk-3", "libgdk", "libglib-2.0", "libgobject-2.0", "libgio-2.0"}) {
        SCOPED_TRACE(library);
        EXPECT_EQ(updater.find(library), std::string::npos) << updater;
        EXPECT_NE(module.find(library), std::string::npos) << module;
    }
}

TEST(UpdaterViewTest, WithoutItsWindowTheUpdaterRunsInTheTerminalAndLogsWhy) {
    const test::ScopedEnvironment display("DISPLAY", std::nullopt);
    const test::ScopedEnvironment wayland("WAYLAND_DISPLAY", std::nullopt);
    const test::ScopedEnvironment ui("HALCYNE_UI", std::nullopt);
    const std::string entry = "{\"event\":\"WindowUnavailable\",\"params\":{\"reason\":\"";
    struct Case {
        const char* name;
        const char* ui;      // HALCYNE_UI; null: unset
        bool module;         // the built module beside the updater
        std::string reason;  // the start of the logged reason; "": no entry
    };
    const Case cases[] = {
        {"window forced, no module", "gtk", false, "cannot load the window module: "},
        {"window forced, GTK finds no display", "gtk", true,
         "the window module could not make the window: GTK could not start"},
        {"terminal forced", "console", true, ""},
        {"no display", nullptr, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchFolder scratch;
        const std::string updater = scratch / "halcyne-updater";
        // One automatic retry, at once, before the error.
        const auto stamped =
            test::StampTestUpdater(updater, "127.0.0.1:1", "Emberline Folder", {"--set", "135=0"});
        ASSERT_EQ(stamped.exitStatus, 0) << stamped.errors;
        if (c.module) {
            test::PlaceWindowModuleBeside(updater);
        }
        fs::create_directories(scratch / "tmp");
        std::vector<std::string> environment = {"TMPDIR=" + scratch / "tmp", "GDK_BACKEND=x11"};
        if (c.ui != nullptr) {
            environment.push_back(std::string("HALCYNE_UI=") + c.ui);
        }
        // Level 1 writes transfer events only: no error and nothing marked important.
        const auto result = test::RunProgram(updater, {"log=1"}, environment);
        EXPECT_EQ(result.exitStatus, 1) << result.errors;
        EXPECT_NE(result.errors.find(std::string("Emberline Downloader Error\n") +
                                     Updater::Message::ConnectionError),
                  std::string::npos)
            << result.errors;
        std::string logs;
        for (fs::recursive_directory_iterator it(scratch / "tmp"), end; it != end; ++it) {
            if (it->path().filename().string().rfind("Log.", 0) == 0) {
                logs += test::ReadFileText(it->path().string());
            }
        }
        if (c.reason.empty()) {
            EXPECT_EQ(logs.find("WindowUnavailable"), std::string::npos) << logs;
        } else {
            EXPECT_NE(logs.find(entry + c.reason), std::string::npos) << logs;
        }
    }
}

}  // namespace
}  // namespace halcyne

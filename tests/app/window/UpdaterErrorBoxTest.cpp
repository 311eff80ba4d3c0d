// The stamped updater with its GTK window under Xvfb: a close signal while the error box is open (shown at
// start-up, or from the monitor's thread) closes the box and the updater ends with the error's status.
// The box is found on the display by its title, and the updater's pid by the window's _NET_WM_PID.
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <signal.h>

#include "support/TestSupport.hpp"
#include "support/VirtualDisplay.hpp"
#include "support/Watchdog.hpp"

namespace halcyne {
namespace {

using namespace std::chrono_literals;

// The pid of the process showing a viewable top-level window titled `title`, if there is one.
std::optional<pid_t> WindowOwner(Display* display, const std::string& title) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<pid_t> owner;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) {
        return owner;
    }
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    for (unsigned i = 0; i < count && !owner; ++i) {
        XWindowAttributes attributes;
        char* name = nullptr;
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable || XFetchName(display, children[i], &name) == 0) {
            continue;
        }
        const bool match = title == name;
        XFree(name);
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* value = nullptr;
        if (match &&
            XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &items, &after, &value) == Success &&
            value != nullptr) {
            if (items == 1 && format == 32) {
                owner = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(value));
            }
            XFree(value);
        }
    }
    XFree(children);
    return owner;
}

TEST(UpdaterErrorBoxTest, ASignalClosesTheErrorBoxAndTheUpdaterEndsWithStatusOne) {
    const test::Watchdog watchdog(
        60s, "UpdaterErrorBoxTest.ASignalClosesTheErrorBoxAndTheUpdaterEndsWithStatusOne");
    const test::VirtualDisplay virtualDisplay;
    ASSERT_TRUE(virtualDisplay.Running());
    Display* display = XOpenDisplay(virtualDisplay.Name().c_str());
    ASSERT_NE(display, nullptr);
    struct Case {
        const char* name;
        bool blockDataFolder;  // the data folder cannot be made: the box comes before the window
        int signal;
    };
    for (const Case& c : {Case{"start-up box, SIGTERM", true, SIGTERM},
                          Case{"box from the monitor's thread (host refuses), SIGINT", false, SIGINT}}) {
        SCOPED_TRACE(c.name);
        test::ScratchFolder scratch;
        const std::string updater = scratch / "halcyne-updater";
        // Port 1 on the loopback refuses connections: the manifest request fails at once, and so does the
        // one automatic retry after its pause of 10 ms.
        const auto stamped =
            test::StampTestUpdater(updater, "127.0.0.1:1", "Emberline Folder", {"--set", "135=10"});
        ASSERT_EQ(stamped.exitStatus, 0) << stamped.errors;
        test::PlaceWindowModuleBeside(updater);
        boost::filesystem::create_directories(scratch / "tmp");
        if (c.blockDataFolder) {
            test::WriteFileText(scratch / "tmp/Vantrel Technologies", "x");
        }
        auto run = std::async(std::launch::async, [&] {
            return test::RunProgram(
                updater, {},
                {"TMPDIR=" + scratch / "tmp", "HALCYNE_UI=gtk", "DISPLAY=" + virtualDisplay.Name()});
        });
        std::optional<pid_t> owner;
        for (auto end = std::chrono::steady_clock::now() + 20s;
             !owner && std::chrono::steady_clock::now() < end;) {
            owner = WindowOwner(display, "Emberline Downloader Error");
            if (!owner && run.wait_for(20ms) == std::future_status::ready) {
                break;
            }
        }
        ASSERT_TRUE(owner.has_value());
        ::kill(*owner, c.signal);
        const test::ProcessResult result = run.get();
        EXPECT_EQ(result.exitStatus, 1) << result.errors;
        EXPECT_FALSE(WindowOwner(display, "Emberline Downloader Error").has_value());
    }
    XCloseDisplay(display);
}

}  // namespace
}  // namespace halcyne

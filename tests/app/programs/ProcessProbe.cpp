// A program the process tests launch. It writes what it was started with to the file named by
// HALCYNE_PROBE_OUTPUT: its working folder, its arguments, and the blocked and ignored signal sets from
// /proc/self/status. With HALCYNE_PROBE_STARTED it first creates that file; with HALCYNE_PROBE_WAIT_FOR it
// then waits until that file exists (a minute at most). It exits with HALCYNE_PROBE_EXIT (default 0).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

int main(int argc, char** argv) {
    if (const char* started = std::getenv("HALCYNE_PROBE_STARTED")) {
        std::ofstream(started) << "started\n";
    }
    if (const char* waitFor = std::getenv("HALCYNE_PROBE_WAIT_FOR")) {
        // Gives up after a minute, so that a failing test never leaves it behind for good.
        for (int i = 0; i < 12000 && ::access(waitFor, F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const char* outputPath = std::getenv("HALCYNE_PROBE_OUTPUT");
    if (outputPath != nullptr) {
        std::string report;
        char cwd[4096];
        report += std::string("cwd=") + (::getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
        for (int i = 0; i < argc; ++i) {
            report += "arg=" + std::string(argv[i]) + "\n";
        }
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) {
                report += line + "\n";
            }
        }
        // Written whole under another name and renamed, so that a reader never sees half of it.
        const std::string partial = std::string(outputPath) + ".partial";
        std::ofstream(partial) << report;
        std::rename(partial.c_str(), outputPath);
    }
    const char* exitCode = std::getenv("HALCYNE_PROBE_EXIT");
    return exitCode ? std::atoi(exitCode) : 0;
}

// A program that the updater starts: the downloader, at the end of the update sequence. Launch runs on the
// caller's thread (the monitor thread) and blocks it while it waits. Calls nothing back.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace halcyne::Updater {

class SimpleProcess {
public:
    explicit SimpleProcess(std::string programPath) : programPath_(std::move(programPath)) {}
    virtual ~SimpleProcess() = default;

    // Starts the program with the arguments (one command-line string) in the working folder (the program's
    // parent folder when empty); with `wait`, returns only when it has exited. True when the program was
    // started (and the wait did not fail), whatever its exit status.
    virtual bool Launch(bool wait, const std::string& arguments, const std::string& workingFolder) = 0;

    const std::string& ProgramPath() const { return programPath_; }

protected:
    std::string programPath_;
};

// Splits a command-line string into words by the rule it was built with: blanks (space, tab) separate words,
// double quotes group and are removed, nothing is escaped. A pair of quotes alone gives an empty word.
std::vector<std::string> SplitCommandLine(const std::string& arguments);

}  // namespace halcyne::Updater

// The command line that halcyne-publish, halcyne-stamp and halcyne-delivery share. "--name VALUE" and
// "--name=VALUE" are the same option; "-h" and "--help" print the usage on standard output and exit 0;
// "--version" prints "<program> <version>" and exits 0. A command line the program cannot act on is a usage
// error: one line naming the problem and a pointer to --help on standard error, exit status 2, nothing done.
// A failure while the program runs exits 1.
// Used by each tool's main() on its main thread only; nothing here calls back.
#pragma once

#include <cstddef>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef HALCYNE_VERSION
#error "HALCYNE_VERSION must be defined by the build"
#endif

namespace halcyne::tools {

constexpr int ExitFailure = 1;  // the run failed
constexpr int ExitUsage = 2;    // the command line was refused before anything was done

// A command line the program cannot act on; what() names the problem in one line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Prints the usage error the convention's way and returns the status to exit with.
inline int ReportUsageError(const std::string& program, const std::string& problem) {
    std::cerr << program << ": " << problem << "\nTry '" << program << " --help'.\n";
    return ExitUsage;
}

inline void PrintVersion(const std::string& program) {
    std::cout << program << " " << HALCYNE_VERSION << "\n";
}

// Walks the arguments once, in order. Next() returns each argument: an option by its name alone ("--site"
// of "--site=x"), an operand as it stands. After an option, Value() takes its value (the text after the
// first '=', else the next argument) or Flag() confirms that it came without one.
class ArgumentReader {
public:
    ArgumentReader(int argc, char** argv) : arguments_(argv + 1, argv + argc) {}

    bool Done() const { return next_ >= arguments_.size(); }

    const std::string& Next() {
        const std::string& argument = arguments_.at(next_++);
        attached_.reset();
        option_ = argument.size() > 1 && argument[0] == '-';
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            current_ = argument.substr(0, equals);
            attached_ = argument.substr(equals + 1);
        } else {
            current_ = argument;
        }
        return current_;
    }

    // The argument Next() returned starts with '-' (a lone "-" is an operand).
    bool IsOption() const { return option_; }

    std::string Value() {
        if (attached_) {
            std::string value = std::move(*attached_);
            attached_.reset();
            return value;
        }
        if (Done()) {
            throw UsageError(current_ + " needs a value");
        }
        return arguments_[next_++];
    }

    // Refuses "--flag=VALUE" for an option that takes no value.
    void Flag() const {
        if (attached_) {
            throw UsageError(current_ + " takes no value");
        }
    }

private:
    std::vector<std::string> arguments_;
    std::size_t next_ = 0;
    std::string current_;
    std::optional<std::string> attached_;
    bool option_ = false;
};

}  // namespace halcyne::tools

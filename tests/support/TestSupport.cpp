#include "support/TestSupport.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace halcyne::test {

ScratchFolder::ScratchFolder() {
    const std::string base = BinaryDir() + "/test-scratch";
    boost::filesystem::create_directories(base);
    std::string pattern = base + "/XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed under " + base);
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    boost::system::error_code ignored;
    // Give back permissions a test may have taken away, so that the folder can be removed.
    for (auto it = boost::filesystem::recursive_directory_iterator(path_, ignored);
         it != boost::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->status(ignored).type() == boost::filesystem::directory_file) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
    boost::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, std::optional<std::string> value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        previous_ = old;
    }
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

namespace {

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return text;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // The given entries replace inherited ones of the same name (getenv would find the first).
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& given : environment) {
            replaced = replaced || given.compare(0, name.size(), name) == 0;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + program);
    }
    std::thread errors([&] { result.errors = Drain(err[0]); });
    result.output = Drain(out[0]);
    errors.join();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProcessResult RunInChildProcess(const std::function<std::string()>& body,
                                const std::vector<ResourceLimit>& limits) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(channel[0]);
        ::close(channel[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::close(channel[0]);
        ::signal(SIGXFSZ, SIG_IGN);
        int status = 0;
        std::string text;
        for (const ResourceLimit& limit : limits) {
            const rlimit value{static_cast<rlim_t>(limit.value), static_cast<rlim_t>(limit.value)};
            if (::setrlimit(limit.resource, &value) != 0) {
                text = "setrlimit failed";
                status = 1;
            }
        }
        if (status == 0) {
            try {
                text = body();
            } catch (const std::exception& e) {
                text = e.what();
                status = 1;
            } catch (...) {
                text = "unknown exception";
                status = 1;
            }
        }
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::write(channel[1], text.data() + sent, text.size() - sent);
            if (n <= 0 && errno != EINTR) {
                break;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        ::_exit(status);
    }
    ::close(channel[1]);
    ProcessResult result;
    result.output = Drain(channel[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void StopChildProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
}

ProcessResult StampTestUpdater(const std::string& output, const std::string& manifestHost,
                               const std::string& dataFolder, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {BuiltProgram("src/halcyne-updater"),
                                          "--output",
                                          output,
                                          "--set",
                                          "102=" + manifestHost,
                                          "--set",
                                          "103=DP",
                                          "--set",
                                          "104=GP",
                                          "--set",
                                          "105=GK",
                                          "--set",
                                          "106=SK",
                                          "--set",
                                          "107=DK",
                                          "--set",
                                          "108=Emberline",
                                          "--set",
                                          "109=" + dataFolder};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunProgram(BuiltProgram("tools/halcyne-stamp"), arguments);
}

long ProcessStatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
            line[field.size()] == ':') {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

void PlaceWindowModuleBeside(const std::string& updater) {
    const boost::filesystem::path module = BuiltProgram("src/libhalcyne-gtk.so");
    boost::filesystem::copy_file(module, boost::filesystem::path(updater).parent_path() / module.filename(),
                                 boost::filesystem::copy_options::overwrite_existing);
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

}  // namespace halcyne::test

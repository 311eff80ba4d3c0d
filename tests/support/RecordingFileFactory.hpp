// A file factory for tests that records every call ("create <folder> <name>", "delete <folder> <name>",
// "rename <folder> <from> <to>") and passes it on to the real POSIX factory. Safe to call from many threads
// at once.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "file/posix/PosixSharedFileFactory.hpp"

namespace halcyne::test {

class RecordingFileFactory : public SharedFileFactory {
public:
    std::shared_ptr<SharedFile> Create(const std::string& folder, const std::string& name,
                                       SharedFileMode mode, std::uint64_t lowerBound,
                                       std::uint64_t upperBound) override {
        Record("create " + folder + " " + name);
        return real_.Create(folder, name, mode, lowerBound, upperBound);
    }
    bool Delete(const std::string& folder, const std::string& name) override {
        Record("delete " + folder + " " + name);
        return real_.Delete(folder, name);
    }
    bool IsExecutable(const std::string& folder, const std::string& name) override {
        return real_.IsExecutable(folder, name);
    }
    void Rename(const std::string& folder, const std::string& from, const std::string& to) override {
        Record("rename " + folder + " " + from + " " + to);
        real_.Rename(folder, from, to);
    }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    void Record(std::string call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
    }

    PosixSharedFileFactory real_;
    mutable std::mutex mutex_;  // guards calls_
    std::vector<std::string> calls_;
};

}  // namespace halcyne::test

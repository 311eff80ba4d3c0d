// A progress updater for tests that records every call in order ("add 10", "remove 10", "verified 4",
// "transferred 4") and keeps the running totals. Safe to call from many threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline/TransferProgressUpdater.hpp"

namespace halcyne::test {

class RecordingProgressUpdater : public TransferProgressUpdater {
public:
    void AddProgress(const std::uint64_t& bytes) override { Record("add", bytes, progress_, +1); }
    void RemoveProgress(const std::uint64_t& bytes) override { Record("remove", bytes, progress_, -1); }
    void AddVerified(const std::uint64_t& bytes) override { Record("verified", bytes, verified_, +1); }
    void AddTransferred(const std::uint64_t& bytes) override {
        Record("transferred", bytes, transferred_, +1);
    }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Progress may go below zero in a faulty caller; the signed total shows it.
    std::int64_t Progress() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return progress_;
    }
    std::int64_t Verified() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return verified_;
    }
    std::int64_t Transferred() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return transferred_;
    }

private:
    void Record(const char* what, std::uint64_t bytes, std::int64_t& total, int sign) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::string(what) + " " + std::to_string(bytes));
        total += sign * static_cast<std::int64_t>(bytes);
    }

    mutable std::mutex mutex_;  // guards every field below
    std::vector<std::string> calls_;
    std::int64_t progress_ = 0;
    std::int64_t verified_ = 0;
    std::int64_t transferred_ = 0;
};

}  // namespace halcyne::test

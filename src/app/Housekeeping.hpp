// What a run leaves behind and nobody needs any more, removed at start-up: stored transfers that no run has
// touched for a long time (a run that completed removes its own), and work logs beyond the newest few.
// Only regular files named as the store and the log name theirs are looked at (never a link, a folder or
// anything else); a file that cannot be read or removed is left alone, and nothing here ever throws or
// stops the run. The folders must be private to the user (CreatePrivateFolder). Main thread, before any
// transfer starts.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace halcyne::Updater {

inline constexpr std::chrono::hours StoredTransferMaxAge{24 * 30};
inline constexpr std::size_t LogsKept = 20;  // runs' logs, this run's included

// Removes every `<id>.json` in `folder` last modified before `now - maxAge`. The count removed.
std::size_t RemoveStaleStoredTransfers(const std::string& folder, std::chrono::system_clock::time_point now,
                                       std::chrono::hours maxAge = StoredTransferMaxAge);

// Keeps this run's work log (`current`, a name in `folder`, when it has one yet) and the `keep` newest of the
// others (`Log.*`, by modification time, then by name) in `folder`, and removes the rest. The count removed.
std::size_t KeepNewestLogs(const std::string& folder, const std::string& current, std::size_t keep);

}  // namespace halcyne::Updater

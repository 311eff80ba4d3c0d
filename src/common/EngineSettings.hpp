// The engine's tuning and deployment settings with their built-in defaults.
// Built once at start-up, adjusted by the updater's main flow, then copied by value into every service that
// reads it; never changed afterwards, so copies are read from any thread without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

namespace halcyne {

struct EngineSettings {
    EngineSettings();

    std::string manifestHost;     // host[:port] of the manifest service; "https://host[:port]" for TLS
    std::string transfersFolder;  // stored transfers, under the temporary directory
    std::string logsFolder;       // work logs, under the temporary directory
    // Under the temporary directory: the highest sequence of every signed current manifest and node list
    // accepted, so that an older one is refused (ManifestReplayGuard). Only a signed deployment writes it.
    std::string manifestSequencesFile;
    int logLevel;  // bit set of work log entry levels; -9 has every bit set but 8
    int manifestRetryLimit;
    int manifestConnectTimeout;  // seconds
    int manifestTimeout;         // seconds
    int minChunkRetries;
    int minRequestRetries;
    // The retries a chunk earns from the size of the node list (nodes - 1) stop at this many, so that the
    // wait before a chunk gives up does not grow with the list; minChunkRetries and minRequestRetries
    // still apply above it.
    int maxNodeRetries;
    int minConnectTimeout;       // seconds
    int maxConnectTimeout;       // seconds
    int probeConnectTimeout;     // seconds
    int minRequestTimeout;       // seconds
    int probeMinRequestTimeout;  // seconds
    int minSpeed;                // bytes per second
    int probeMinSpeed;           // bytes per second
    int minLowSpeedTime;         // seconds
    int maxLowSpeedTime;         // seconds
    int probeLowSpeedTime;       // seconds
    int speedWindowSeconds;
    int remainingRecalcMs;
    int workerThreads;
    int maxRunningWorks;
    int proxyResolveTimeout;      // milliseconds
    int proxyTimeout2;            // copied along; nothing reads it
    int proxyConnectTimeout;      // milliseconds, connect and send
    int proxyReceiveTimeout;      // milliseconds
    int analyticsConnectTimeout;  // seconds
    int analyticsTimeout;         // seconds
    int analyticsRetryLimit;
    int periodicEventSeconds;
    int optimizerTrialsPerNode;
    int optimizerMaxDraws;
    double statisticsAlpha;
    // Base URLs of the two analytics services (transfer stream and every other stream). Empty means the
    // stream is not configured: its reports are dropped without a connection.
    std::string eventAnalyticsUrl;
    std::string transferAnalyticsUrl;
    // PEM file of the certificates that https servers must chain to; empty for the system's store.
    std::string caBundle;
    // The Ed25519 public keys (base64, comma-separated) that package manifests and node lists must be signed
    // with. Empty: documents are taken unsigned, as they come.
    std::string manifestKeys;
    // The largest package manifest, node list and signature file the engine accepts, in bytes, and the
    // most nodes a node list may name. Larger documents are refused while they are received.
    std::uint64_t maxPackageManifestBytes;
    std::uint64_t maxNodeListBytes;
    std::uint64_t maxSignatureBytes;
    int maxNodeListNodes;
    // The most files, and the most chunks over all its files, that a package manifest may describe; a
    // manifest beyond either is refused before any work is built for it. The defaults fit the largest games
    // (a million chunks is a terabyte in 1 MiB chunks).
    std::uint64_t maxPackageFiles;
    std::uint64_t maxPackageChunks;
    // Bytes per second that all the engine's requests together may receive; 0 for no limit. The speed
    // floors of the requests' low-speed limits and time-outs stay below each request's share of it.
    std::uint64_t maxDownloadRate;
    // The pauses, in milliseconds, before each automatic Retry of a transfer that waits after a connection
    // error (every node failed a chunk, the manifest service unreachable or failing, a time-out); once they
    // are spent the player is asked. The defaults grow to 30 s, about two minutes in all.
    std::vector<std::uint32_t> retryPausesMs;
};

// The settings as the work log's header writes them: every field by its name, numbers in decimal, the
// retry pauses comma-separated; of the manifest keys only how many there are.
void DescribeSettings(const EngineSettings& settings, boost::property_tree::ptree& tree);

// Retry pauses written as decimal milliseconds separated by commas ("2000,4000,8000"; spaces around the
// numbers are allowed); none when the text is anything else, empty, or a pause is longer than an hour.
std::optional<std::vector<std::uint32_t>> ParseRetryPauses(const std::string& text);

// The default of workerThreads and maxRunningWorks: max(hardware threads, 1) + 2.
int DefaultWorkerThreads();

// The built-in manifest service host: under the reserved .example domain, so that a deployment that sets no
// host fails cleanly instead of reaching somebody's server.
inline constexpr const char* DefaultManifestHost = "manifests.halcyne.example";

}  // namespace halcyne

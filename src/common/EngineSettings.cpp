#include "common/EngineSettings.hpp"

#include <algorithm>
#include <cctype>
#include <thread>

#include <boost/property_tree/ptree.hpp>

namespace halcyne {

int DefaultWorkerThreads() {
    return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1) + 2;
}

EngineSettings::EngineSettings()
    : manifestHost(DefaultManifestHost),
      transfersFolder("Vantrel Technologies/Halcyne/transfers"),
      logsFolder("Vantrel Technologies/Halcyne/logs"),
      manifestSequencesFile("Vantrel Technologies/Halcyne/manifest-sequences.json"),
      logLevel(-9),
      manifestRetryLimit(4),
      manifestConnectTimeout(10),
      manifestTimeout(30),
      minChunkRetries(4),
      minRequestRetries(4),
      maxNodeRetries(8),
      minConnectTimeout(3),
      maxConnectTimeout(15),
      probeConnectTimeout(2),
      minRequestTimeout(10),
      probeMinRequestTimeout(3),
      minSpeed(7168),
      probeMinSpeed(32768),
      minLowSpeedTime(5),
      maxLowSpeedTime(60),
      probeLowSpeedTime(3),
      speedWindowSeconds(10),
      remainingRecalcMs(500),
      workerThreads(DefaultWorkerThreads()),
      maxRunningWorks(DefaultWorkerThreads()),
      proxyResolveTimeout(5000),
      proxyTimeout2(5000),
      proxyConnectTimeout(5000),
      proxyReceiveTimeout(5000),
      analyticsConnectTimeout(10),
      analyticsTimeout(10),
      analyticsRetryLimit(1),
      periodicEventSeconds(300),
      optimizerTrialsPerNode(50),
      optimizerMaxDraws(10000),
      statisticsAlpha(0.3),
      maxPackageManifestBytes(16 * 1024 * 1024),
      maxNodeListBytes(1024 * 1024),
      maxSignatureBytes(4 * 1024),
      maxNodeListNodes(1000),
      maxPackageFiles(std::uint64_t{1} << 18),
      maxPackageChunks(std::uint64_t{1} << 20),
      maxDownloadRate(0),
      retryPausesMs{2000, 4000, 8000, 16000, 30000, 30000} {}

void DescribeSettings(const EngineSettings& settings, boost::property_tree::ptree& tree) {
    const auto put = [&tree](const char* key, const auto& value) {
        if constexpr (std::is_convertible_v<decltype(value), std::string>) {
            tree.put(key, std::string(value));
        } else {
            tree.put(key, std::to_string(value));
        }
    };
    put("manifestHost", settings.manifestHost);
    put("transfersFolder", settings.transfersFolder);
    put("logsFolder", settings.logsFolder);
    put("manifestSequencesFile", settings.manifestSequencesFile);
    put("logLevel", settings.logLevel);
    put("manifestRetryLimit", settings.manifestRetryLimit);
    put("manifestConnectTimeout", settings.manifestConnectTimeout);
    put("manifestTimeout", settings.manifestTimeout);
    put("minChunkRetries", settings.minChunkRetries);
    put("minRequestRetries", settings.minRequestRetries);
    put("maxNodeRetries", settings.maxNodeRetries);
    put("minConnectTimeout", settings.minConnectTimeout);
    put("maxConnectTimeout", settings.maxConnectTimeout);
    put("probeConnectTimeout", settings.probeConnectTimeout);
    put("minRequestTimeout", settings.minRequestTimeout);
    put("probeMinRequestTimeout", settings.probeMinRequestTimeout);
    put("minSpeed", settings.minSpeed);
    put("probeMinSpeed", settings.probeMinSpeed);
    put("minLowSpeedTime", settings.minLowSpeedTime);
    put("maxLowSpeedTime", settings.maxLowSpeedTime);
    put("probeLowSpeedTime", settings.probeLowSpeedTime);
    put("speedWindowSeconds", settings.speedWindowSeconds);
    put("remainingRecalcMs", settings.remainingRecalcMs);
    put("workerThreads", settings.workerThreads);
    put("maxRunningWorks", settings.maxRunningWorks);
    put("proxyResolveTimeout", settings.proxyResolveTimeout);
    put("proxyTimeout2", settings.proxyTimeout2);
    put("proxyConnectTimeout", settings.proxyConnectTimeout);
    put("proxyReceiveTimeout", settings.proxyReceiveTimeout);
    put("analyticsConnectTimeout", settings.analyticsConnectTimeout);
    put("analyticsTimeout", settings.analyticsTimeout);
    put("analyticsRetryLimit", settings.analyticsRetryLimit);
    put("periodicEventSeconds", settings.periodicEventSeconds);
    put("optimizerTrialsPerNode", settings.optimizerTrialsPerNode);
    put("optimizerMaxDraws", settings.optimizerMaxDraws);
    put("statisticsAlpha", settings.statisticsAlpha);
    put("eventAnalyticsUrl", settings.eventAnalyticsUrl);
    put("transferAnalyticsUrl", settings.transferAnalyticsUrl);
    put("caBundle", settings.caBundle);
    // Public keys are no secret, but the log names only how many there are: it goes to support as it is.
    std::size_t keys = 0;
    for (std::size_t at = 0; at <= settings.manifestKeys.size();) {
        const std::size_t comma = std::min(settings.manifestKeys.find(',', at), settings.manifestKeys.size());
        const std::string key = settings.manifestKeys.substr(at, comma - at);
        keys += key.find_first_not_of(" \t") != std::string::npos ? 1 : 0;
        at = comma + 1;
    }
    put("manifestKeys", keys);
    put("maxPackageManifestBytes", settings.maxPackageManifestBytes);
    put("maxNodeListBytes", settings.maxNodeListBytes);
    put("maxSignatureBytes", settings.maxSignatureBytes);
    put("maxNodeListNodes", settings.maxNodeListNodes);
    put("maxPackageFiles", settings.maxPackageFiles);
    put("maxPackageChunks", settings.maxPackageChunks);
    put("maxDownloadRate", settings.maxDownloadRate);
    std::string pauses;
    for (const std::uint32_t pause : settings.retryPausesMs) {
        pauses += (pauses.empty() ? "" : ",") + std::to_string(pause);
    }
    put("retryPausesMs", pauses);
}

std::optional<std::vector<std::uint32_t>> ParseRetryPauses(const std::string& text) {
    constexpr std::uint64_t MaxPauseMs = 3600 * 1000;
    std::vector<std::uint32_t> pauses;
    std::size_t at = 0;
    for (;;) {
        while (at < text.size() && text[at] == ' ') {
            ++at;
        }
        std::uint64_t value = 0;
        const std::size_t first = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
            value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
            if (value > MaxPauseMs) {
                return std::nullopt;
            }
            ++at;
        }
        if (at == first) {
            return std::nullopt;
        }
        pauses.push_back(static_cast<std::uint32_t>(value));
        while (at < text.size() && text[at] == ' ') {
            ++at;
        }
        if (at == text.size()) {
            return pauses;
        }
        if (text[at] != ',') {
            return std::nullopt;
        }
        ++at;
    }
}

}  // namespace halcyne

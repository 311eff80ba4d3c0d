#include "common/EngineSettings.hpp"

#include <algorithm>
#include <thread>

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
      maxDownloadRate(0) {}

}  // namespace halcyne

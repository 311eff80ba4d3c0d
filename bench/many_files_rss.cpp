// Memory of a whole download of a package of many one-chunk files: writes a package of <files> files of one
// byte each (default 2^18, at most 36^4) with the smallest manifest that describes them (attributes, chunk
// size 1, no SHA-256: 63 bytes a file, so that 2^18 of them stay under the engine's 16 MiB limit), serves it
// from the local delivery service (three content nodes) and downloads it through DownloadEngine with the
// default settings. Prints the manifest's size, the resident size before the engine starts, the peak resident
// size while it sets up and downloads, and the outcome.
//   many_files_rss [files]
// Target: the peak stays within 512 MiB.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "common/EngineSettings.hpp"
#include "common/NoValueMarker.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "transfer/DownloadEngine.hpp"

namespace {

using namespace halcyne;

// Writes the package's files and its manifest; returns the manifest's size in bytes.
std::uint64_t WritePackage(test::SiteWriter& site, const test::SitePackage& package, std::uint32_t files) {
    std::string manifest = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><id>" + package.packageId +
                           "</id><name>Many</name><partnerId>" + package.partnerId +
                           "</partnerId><versionId>" + package.versionId + "</versionId><files>";
    char entry[128];
    for (std::uint32_t i = 0; i < files; ++i) {
        // Four base-36 digits name 1.6 million files.
        const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
        const char name[] = {digits[i / 46656 % 36], digits[i / 1296 % 36], digits[i / 36 % 36],
                             digits[i % 36], '\0'};
        const char byte = static_cast<char>(i & 0xff);
        const std::string path = site.PackageFilePath(package, name);
        if (i == 0) {
            site.WriteText(path.substr(site.Folder().size() + 1), "");  // makes the folders
        }
        std::ofstream(path, std::ios::binary).write(&byte, 1);
        std::snprintf(entry, sizeof entry,
                      "<file path=\"%s\" size=\"1\" chunksize=\"%u\" checksums=\"%08x\"/>", name,
                      package.chunkSize, test::Crc32(&byte, 1));
        manifest += entry;
    }
    manifest += "</files></package>\n";
    site.WriteText("manifests/" + package.packageId + "/current.xml", manifest);
    return manifest.size();
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint32_t files = argc > 1 ? static_cast<std::uint32_t>(std::stoul(argv[1])) : 1u << 18;
    test::ScratchFolder scratch;
    test::SiteWriter site(scratch / "site");
    test::SitePackage package;
    package.chunkSize = 1;
    const auto writing = std::chrono::steady_clock::now();
    const std::uint64_t manifestBytes = WritePackage(site, package, files);
    test::LocalDeliveryService service({.site = site.Folder(), .content = {}, .nodes = 3});
    site.PublishNodeList(package.partnerId, service.Nodes());
    std::cout << files << " files, manifest " << manifestBytes << " bytes, written in "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - writing).count() << " s"
              << std::endl;

    EngineSettings settings;
    settings.manifestHost = service.ManifestHost();
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from the current size
    const long idle = test::ProcessStatusKiB("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    std::string outcome = "incomplete";
    {
        DownloadEngine engine(settings);
        const std::string id =
            engine.StartTransfer(package.partnerId, package.packageId, std::string(NoValueMarker)).transferId;
        bool started = false;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const TransferStatus status = engine.GetTransferStatus(id);
            if (status.error != TransferError::None || status.state == TransferState::Cancelled ||
                status.state == TransferState::Absent) {
                outcome = "failed: error " + std::to_string(ToInt(status.error));
                break;
            }
            if (status.state == TransferState::Initialized && !started) {
                engine.StartTransferInto(id, scratch / "dest");
                started = true;
            }
            if (status.state == TransferState::Complete) {
                outcome = "complete";
                break;
            }
        }
    }
    const long peak = test::ProcessStatusKiB("VmHWM");
    std::cout << "idle RSS " << idle / 1024 << " MiB, peak RSS " << peak / 1024 << " MiB, peak - idle "
              << (peak - idle) / 1024 << " MiB, "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s\n"
              << outcome << std::endl;
    return outcome == "complete" ? 0 : 1;
}

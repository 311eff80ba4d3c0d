// The updater's configuration: loaded once at start-up from the executable's string table and three
// command-line arguments, then only read (copies are taken freely).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/StringTable.hpp"

namespace halcyne::Updater {

using KeyValueList = std::vector<std::pair<std::string, std::string>>;

class UpdaterConfiguration {
public:
    // Loads the table entries and parses the command line (argv as the program received it).
    UpdaterConfiguration(const StringTable& module, int argc, const char* const* argv);

    std::string ExecutablePath() const { return executablePath_; }
    std::string ManifestHost() const { return manifestHost_; }
    std::string DownloaderPartnerId() const { return downloaderPartnerId_; }
    std::string GamePartnerId() const { return gamePartnerId_; }
    std::string DownloaderPackageId() const { return downloaderPackageId_; }
    // Empty when the temporary directory cannot be determined; DataFolderError() then says why.
    std::string DataFolder() const { return dataFolder_; }
    std::string DataFolderError() const { return dataFolderError_; }
    std::string SkinVersion() const { return skinVersion_; }
    std::string PackageVersion() const { return packageVersion_; }
    int LogLevel() const { return logLevel_; }
    // The download-rate limit of "limit=KIB", in bytes per second; 0 for none.
    std::uint64_t DownloadRateLimit() const { return downloadRateLimit_; }
    std::string EventAnalyticsUrl() const { return eventAnalyticsUrl_; }
    std::string TransferAnalyticsUrl() const { return transferAnalyticsUrl_; }
    // Path of the CA bundle that https hosts are verified against; empty for the system's store.
    std::string CaBundle() const { return caBundle_; }
    // The Ed25519 public keys manifests must be signed with (base64, comma-separated); empty for none.
    std::string ManifestKeys() const { return manifestKeys_; }
    // The pauses before automatic retries as stamped (ParseRetryPauses reads them); empty when not set.
    std::string RetryPauses() const { return retryPauses_; }
    // The data folder below the temporary directory ("Vantrel Technologies/Halcyne").
    std::string DataFolderName() const { return dataFolderName_; }

    // Per-language fields: the stored text for an empty code, else the entry for the code.
    std::string GameName(const std::string& languageCode) const;
    std::string GameFolderName(const std::string& languageCode) const;
    std::string SkinPackageId(const std::string& languageCode) const;
    std::string GamePackageId(const std::string& languageCode) const;
    std::string SkinFolder(const std::string& languageCode) const;
    // The default language when a language list is configured, else empty.
    std::string DefaultLanguage() const;
    const KeyValueList& Languages() const { return languages_; }

    // Applies the arguments "packageVersion=", "skinVersion=", "log=" and "limit=" in order (argument 0
    // included); a later one wins. Stops silently at the first argument that cannot be handled, but for
    // "limit=": a value that is not a number of KiB per second (decimal digits) is skipped.
    void ParseArguments(const std::vector<std::string>& arguments);

private:
    std::string executablePath_;
    std::string manifestHost_;
    std::string downloaderPartnerId_;
    std::string gamePartnerId_;
    std::string dataFolderName_ = "Vantrel Technologies/Halcyne";
    std::string downloaderPackageId_;
    std::string dataFolder_;
    std::string gameName_;
    std::string gameFolderName_;
    std::string skinPackageId_;
    std::string skinVersion_ = "?";
    std::string gamePackageId_;
    std::string packageVersion_ = "?";
    std::string defaultLanguage_;
    int logLevel_ = -9;
    std::uint64_t downloadRateLimit_ = 0;
    KeyValueList languages_;
    std::string eventAnalyticsUrl_;
    std::string transferAnalyticsUrl_;
    std::string caBundle_;
    std::string manifestKeys_;
    std::string retryPauses_;
    std::string dataFolderError_;
};

// Splits "k=v;k=v" at ';' (empty pieces dropped) and each piece at its first '='; pieces without '=' are
// skipped. Nothing is trimmed.
KeyValueList SplitKeyValueList(const std::string& text);

// The value of the first pair whose key equals `code` (case-sensitive), or empty.
std::string SelectForLanguage(const std::string& code, const std::string& text);

// Reads a number as a 32-bit C library strtoul with base 10 does (leading white space, an optional sign that
// negates modulo 2^32, digits up to the first other character). Throws std::invalid_argument ("invalid stoul
// argument") without digits and std::out_of_range ("stoul argument out of range") past 32 bits.
std::uint32_t ParseUnsigned32(const std::string& text);

// The absolute path of the running program (/proc/self/exe); `fallback` made absolute when that fails.
std::string RunningExecutablePath(const std::string& fallback);

}  // namespace halcyne::Updater

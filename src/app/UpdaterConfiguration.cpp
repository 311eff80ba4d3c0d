#include "app/UpdaterConfiguration.hpp"

#include <cctype>
#include <charconv>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <unistd.h>

#include "common/EngineSettings.hpp"
#include "common/Paths.hpp"

namespace halcyne::Updater {

KeyValueList SplitKeyValueList(const std::string& text) {
    KeyValueList pairs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string piece = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = piece.find('=');
        if (piece.empty() || equals == std::string::npos) {
            continue;
        }
        pairs.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
    }
    return pairs;
}

std::string SelectForLanguage(const std::string& code, const std::string& text) {
    for (const auto& [key, value] : SplitKeyValueList(text)) {
        if (key == code) {
            return value;
        }
    }
    return std::string();
}

std::uint32_t ParseUnsigned32(const std::string& text) {
    std::size_t i = 0;
    // White space as the C locale's isspace defines it.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint64_t magnitude = 0;
    bool digits = false;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        digits = true;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        overflow = overflow || magnitude > 0xFFFFFFFFull;
        if (overflow) {
            magnitude = 0xFFFFFFFFull + 1;  // keep the value bounded while the digits are consumed
        }
    }
    if (!digits) {
        throw std::invalid_argument("invalid stoul argument");
    }
    if (overflow) {
        throw std::out_of_range("stoul argument out of range");
    }
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::string RunningExecutablePath(const std::string& fallback) {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length > 0 && static_cast<std::size_t>(length) < buffer.size()) {
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }
    if (fallback.empty()) {
        return fallback;
    }
    try {
        return boost::filesystem::absolute(fallback).string();
    } catch (const boost::filesystem::filesystem_error&) {
        return fallback;
    }
}

UpdaterConfiguration::UpdaterConfiguration(const StringTable& module, int argc, const char* const* argv) {
    manifestHost_ = LoadConfigString(module, StringId::ManifestHost);
    downloaderPartnerId_ = LoadConfigString(module, StringId::DownloaderPartner);
    gamePartnerId_ = LoadConfigString(module, StringId::GamePartner);
    gameName_ = LoadConfigString(module, StringId::GameName);
    gameFolderName_ = LoadConfigString(module, StringId::GameFolderName);
    downloaderPackageId_ = LoadConfigString(module, StringId::DownloaderPackage);

    skinPackageId_ = LoadConfigString(module, StringId::SkinPackage);
    gamePackageId_ = LoadConfigString(module, StringId::GamePackage);
    defaultLanguage_ = LoadConfigString(module, StringId::DefaultLanguage);
    eventAnalyticsUrl_ = LoadConfigString(module, StringId::EventAnalyticsUrl);
    transferAnalyticsUrl_ = LoadConfigString(module, StringId::TransferAnalyticsUrl);
    caBundle_ = LoadConfigString(module, StringId::CaBundle);
    retryPauses_ = LoadConfigString(module, StringId::RetryPauses);
    // The key list is read raw, without the rule that loads an overlong entry as empty: a deployment that
    // stamped keys must never run unverified because of how the entry was written. A list that does not
    // parse makes the engine refuse every manifest.
    manifestKeys_ = module.Find(StringId::ManifestKeys).value_or(std::string());

    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        arguments.emplace_back(argv[i]);
    }
    executablePath_ = RunningExecutablePath(arguments.empty() ? std::string() : arguments.front());
    ParseArguments(arguments);

    // The temporary directory is chosen here, once for the process, with the folders this run uses below
    // it: the data folder, its shortcuts folder and the engine's transfers folder, and its logs folder when
    // anything is logged (a log level of 0 makes no folder). Without a usable one the data folder stays
    // empty: the main flow then reports that it cannot create it, and nothing is ever written relative to
    // the current folder.
    const EngineSettings engine;
    std::vector<std::string> folders = {dataFolderName_, dataFolderName_ + "/shortcuts",
                                        engine.transfersFolder};
    if (logLevel_ != 0) {
        folders.push_back(engine.logsFolder);
    }
    const TemporaryDirectoryChoice choice = ChooseTemporaryDirectory(folders);
    if (choice.directory.empty()) {
        dataFolderError_ = choice.error;
    } else {
        dataFolder_ = JoinPath(choice.directory, dataFolderName_);
    }

    languages_ = SplitKeyValueList(LoadConfigString(module, StringId::Languages));
}

void UpdaterConfiguration::ParseArguments(const std::vector<std::string>& arguments) {
    static const std::string packageVersionPrefix = "packageVersion=";
    static const std::string skinVersionPrefix = "skinVersion=";
    static const std::string logPrefix = "log=";
    static const std::string limitPrefix = "limit=";
    try {
        for (const std::string& argument : arguments) {
            // An argument that is not valid UTF-8 cannot be converted: parsing ends here.
            if (!IsValidUtf8(argument)) {
                return;
            }
            if (argument.starts_with(packageVersionPrefix)) {
                packageVersion_ = argument.substr(packageVersionPrefix.size());
            }
            if (argument.starts_with(skinVersionPrefix)) {
                skinVersion_ = argument.substr(skinVersionPrefix.size());
            }
            if (argument.starts_with(logPrefix)) {
                logLevel_ = static_cast<int>(ParseUnsigned32(argument.substr(logPrefix.size())));
            }
            if (argument.starts_with(limitPrefix)) {
                const std::string_view text = std::string_view(argument).substr(limitPrefix.size());
                std::uint64_t kib = 0;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), kib);
                // Up to 2^40 KiB per second, which is no limit in practice and cannot overflow in bytes.
                if (!text.empty() && error == std::errc() && end == text.data() + text.size() &&
                    kib <= (std::uint64_t{1} << 40)) {
                    downloadRateLimit_ = kib * 1024;
                }
            }
        }
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
}

std::string UpdaterConfiguration::GameName(const std::string& code) const {
    return code.empty() ? gameName_ : SelectForLanguage(code, gameName_);
}

std::string UpdaterConfiguration::GameFolderName(const std::string& code) const {
    return code.empty() ? gameFolderName_ : SelectForLanguage(code, gameFolderName_);
}

std::string UpdaterConfiguration::SkinPackageId(const std::string& code) const {
    return code.empty() ? skinPackageId_ : SelectForLanguage(code, skinPackageId_);
}

std::string UpdaterConfiguration::GamePackageId(const std::string& code) const {
    return code.empty() ? gamePackageId_ : SelectForLanguage(code, gamePackageId_);
}

std::string UpdaterConfiguration::SkinFolder(const std::string& code) const {
    return dataFolder_.empty() ? std::string() : JoinPath(dataFolder_, SkinPackageId(code));
}

std::string UpdaterConfiguration::DefaultLanguage() const {
    return languages_.empty() ? std::string() : defaultLanguage_;
}

}  // namespace halcyne::Updater

#include "app/DownloaderLaunch.hpp"

#include "app/posix/PosixProcess.hpp"
#include "app/posix/PosixShortcut.hpp"
#include "common/NoValueMarker.hpp"
#include "common/Paths.hpp"

namespace halcyne::Updater {
namespace {

class CommandLineBuilder {
public:
    void Add(const char* name, const std::string& value) {
        if (value.find('"') != std::string::npos) {
            refused_ = true;
        }
        text_ += " /";
        text_ += name;
        text_ += " \"";
        text_ += value;
        text_ += '"';
    }
    std::optional<std::string> Result() const {
        return refused_ ? std::nullopt : std::optional<std::string>(text_);
    }

private:
    std::string text_;
    bool refused_ = false;
};

}  // namespace

std::optional<std::string> DownloaderCommandLine(const UpdaterConfiguration& configuration,
                                                 const SimpleLocale& locale, const std::string& skinRunPath) {
    const std::string language = locale.GetLanguage();
    CommandLineBuilder line;
    if (!configuration.ManifestHost().empty()) {
        line.Add("host", configuration.ManifestHost());
    }
    if (!configuration.GamePartnerId().empty()) {
        line.Add("id", configuration.GamePartnerId());
    }
    line.Add("package", configuration.GamePackageId(language));
    line.Add("name", configuration.GameName(language));
    line.Add("folder", configuration.GameFolderName(language));
    if (!language.empty()) {
        line.Add("locale", language);
    }
    if (configuration.PackageVersion() != NoValueMarker) {
        line.Add("version", configuration.PackageVersion());
    }
    if (!skinRunPath.empty()) {
        const char* separator = skinRunPath.front() == '/' ? "" : "/";
        line.Add("skin", configuration.SkinPackageId(language) + separator + skinRunPath);
    }
    if (configuration.LogLevel() != -9) {
        line.Add("log", std::to_string(configuration.LogLevel()));
    }
    return line.Result();
}

bool CreateUpdaterShortcut(const UpdaterConfiguration& configuration, const SimpleLocale& locale) {
    try {
        if (configuration.DataFolder().empty()) {
            return false;
        }
        PosixShortcut shortcut(configuration.GamePackageId(locale.GetLanguage()),
                               JoinPath(configuration.DataFolder(), "shortcuts"));
        return shortcut.Create(configuration.ExecutablePath());
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace halcyne::Updater

namespace halcyne::Updater {

bool LaunchDownloader(const UpdaterConfiguration& configuration, const SimpleLocale& locale,
                      const std::string& downloaderRunPath, const FileIdentity& downloaderRunFile,
                      const std::string& skinRunPath) {
    CreateUpdaterShortcut(configuration, locale);
    const std::string program = JoinPath(configuration.DataFolder(), downloaderRunPath);
    const std::optional<std::string> commandLine = DownloaderCommandLine(configuration, locale, skinRunPath);
    if (!commandLine) {
        return false;
    }
    return PosixProcess(program, downloaderRunFile).Launch(true, *commandLine, "");
}

}  // namespace halcyne::Updater

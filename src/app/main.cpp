// The updater's entry point. Until the download engine and the dialog are in place it loads its
// configuration and prints what it would download.
#include <iostream>

#include "app/StringTable.hpp"
#include "app/UpdaterConfiguration.hpp"

int main(int argc, char** argv) {
    using namespace halcyne::Updater;
    const UpdaterConfiguration configuration(StringTable::Embedded(), argc, argv);
    std::cout << "executable:       " << configuration.ExecutablePath() << "\n"
              << "manifest host:    " << configuration.ManifestHost() << "\n"
              << "downloader:       " << configuration.DownloaderPartnerId() << "/"
              << configuration.DownloaderPackageId() << " version " << configuration.PackageVersion() << "\n"
              << "skin:             " << configuration.GamePartnerId() << "/"
              << configuration.SkinPackageId(configuration.DefaultLanguage()) << " version "
              << configuration.SkinVersion() << "\n"
              << "game:             " << configuration.GameName(configuration.DefaultLanguage()) << "\n"
              << "data folder:      " << configuration.DataFolder() << "\n"
              << "log level:        " << configuration.LogLevel() << "\n";
    if (configuration.DataFolder().empty()) {
        std::cerr << "halcyne-updater: " << configuration.DataFolderError() << "\n";
        return 1;
    }
    return 0;
}

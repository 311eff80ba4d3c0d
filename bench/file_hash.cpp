// Hashes files the way the download pipeline checks a finished file (VerifyFileHashWork::HashFile: views of
// the file mapped one block after the other, SHA-256 through libcrypto), one file after the other on one
// thread, and prints "<digest>  <file>" lines as sha256sum does, so that hyperfine can set the two side by
// side on the same files (bench/file_hash.sh).
//
//   file_hash [--block BYTES] FILE...
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "pipeline/FileWorks.hpp"

using namespace halcyne;

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::uint64_t block = VerifyFileHashWork::BlockSize;
    if (args.size() >= 2 && args[0] == "--block") {
        block = std::stoull(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || block == 0) {
        std::cerr << "usage: file_hash [--block BYTES] FILE...\n";
        return 2;
    }
    PosixSharedFileFactory files;
    int status = 0;
    for (const std::string& path : args) {
        try {
            const boost::filesystem::path full = boost::filesystem::absolute(path);
            const auto file = files.Create(full.parent_path().string(), full.filename().string(),
                                           SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
            const auto digest = VerifyFileHashWork::HashFile(*file, file->Size(), block, nullptr);
            std::cout << Sha256::ToHex(*digest) << "  " << path << "\n";
        } catch (const std::exception& error) {
            std::cerr << "file_hash: " << path << ": " << error.what() << "\n";
            status = 1;
        }
    }
    return status;
}

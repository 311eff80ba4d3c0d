// The stored-transfer store on a real file system: saving a manifest (folders exist, new file, one write),
// loading it, and the text form alone, for a short and an 8 KiB destination path.
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <benchmark/benchmark.h>
#include <boost/property_tree/ptree.hpp>
#include <unistd.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/TransferManifest.hpp"

namespace {

using namespace halcyne;

const std::string Id = "0123456789abcdef0123456789abcdef";

TransferParams Params(std::size_t pathLength) {
    TransferParams params;
    params.transferId = Id;
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "1.2";
    params.destPath = "/home/a/Jeux/D\xC3\xA9p\xC3\xB4t \xE2\x82\xAC/";
    params.destPath.resize(pathLength, 'p');
    return params;
}

// A private TMPDIR for the process's benchmarks, removed at exit.
const std::string& BenchTmp() {
    static const std::string path = [] {
        std::string folder = std::filesystem::temp_directory_path().string() + "/halcyne-bench-XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) {
            std::abort();
        }
        ::setenv("TMPDIR", folder.c_str(), 1);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(BenchTmp(), ignored);
        });
        return folder;
    }();
    return path;
}

void SaveAndRemove(benchmark::State& state) {
    BenchTmp();
    PosixSharedFileFactory factory;
    JsonTempFileManifestStore<TransferManifest> store("transfers", &factory);
    const TransferManifest manifest(Params(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        if (!store.Save(Id, manifest) || !store.Remove(Id)) {
            state.SkipWithError("save or remove failed");
            break;
        }
    }
}
BENCHMARK(SaveAndRemove)->Arg(64)->Arg(8192);

void Load(benchmark::State& state) {
    BenchTmp();
    PosixSharedFileFactory factory;
    JsonTempFileManifestStore<TransferManifest> store("transfers", &factory);
    store.Remove(Id);
    if (!store.Save(Id, TransferManifest(Params(static_cast<std::size_t>(state.range(0)))))) {
        state.SkipWithError("save failed");
        return;
    }
    for (auto _ : state) {
        TransferManifest loaded;
        benchmark::DoNotOptimize(store.Load(Id, loaded));
    }
    store.Remove(Id);
}
BENCHMARK(Load)->Arg(64)->Arg(8192);

void TextFormRoundTrip(benchmark::State& state) {
    JsonTempFileManifestStoreImpl impl("transfers", nullptr);
    const TransferManifest manifest(Params(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        boost::property_tree::ptree tree;
        manifest.Save(tree);
        std::stringstream text;
        impl.Serialize(tree, text);
        boost::property_tree::ptree read;
        impl.Parse(text, read);
        TransferManifest loaded;
        loaded.Load(read);
        benchmark::DoNotOptimize(loaded.params.destPath.size());
    }
}
BENCHMARK(TextFormRoundTrip)->Arg(64)->Arg(8192);

}  // namespace

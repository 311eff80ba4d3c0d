// The cost of checking a manifest's signature: ManifestVerifier::Check over documents of 1 KiB to 1 MiB
// (a package manifest of a few thousand files is about 1 MiB), with the signer's key first of 1 and last of
// 5 stamped keys (every other key is tried first), and a signature that no key verifies.
#include <benchmark/benchmark.h>

#include "SigningKey.hpp"
#include "manifest/ManifestVerifier.hpp"

namespace {

using halcyne::ManifestVerifier;
using halcyne::SignatureCheck;
using halcyne::publish::SigningKey;

void BM_CheckSignature(benchmark::State& state) {
    const std::string document(static_cast<std::size_t>(state.range(0)), 'm');
    const auto keyCount = static_cast<int>(state.range(1));
    const bool matching = state.range(2) != 0;
    const SigningKey signer = SigningKey::New();
    std::string keys;
    for (int i = 1; i < keyCount; ++i) {
        keys += SigningKey::New().PublicKeyBase64() + ",";
    }
    keys += signer.PublicKeyBase64();
    const ManifestVerifier verifier(keys);
    const std::string signature = matching ? signer.Sign(document) : SigningKey::New().Sign(document);
    const SignatureCheck expected = matching ? SignatureCheck::Valid : SignatureCheck::Mismatch;
    for (auto _ : state) {
        if (verifier.Check(document, signature) != expected) {
            state.SkipWithError("unexpected result");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CheckSignature)
    ->ArgNames({"bytes", "keys", "valid"})
    ->Args({1024, 1, 1})
    ->Args({64 * 1024, 1, 1})
    ->Args({1024 * 1024, 1, 1})
    ->Args({1024 * 1024, 5, 1})
    ->Args({1024 * 1024, 5, 0});

}  // namespace

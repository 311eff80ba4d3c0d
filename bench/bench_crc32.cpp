// The chunk checksum over one 1 MiB chunk: libdeflate (what the chunk check uses), a byte-wise table-driven
// CRC-32 and Boost's crc_32_type.
#include <array>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include "pipeline/Crc32.hpp"

namespace {

std::vector<unsigned char> Chunk() {
    std::vector<unsigned char> data(1 << 20);
    std::uint32_t state = 12345;
    for (unsigned char& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return data;
}

std::uint32_t TableCrc32(const unsigned char* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

void BM_Crc32Libdeflate(benchmark::State& state) {
    const std::vector<unsigned char> data = Chunk();
    for (auto _ : state) {
        benchmark::DoNotOptimize(halcyne::Crc32(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Crc32Libdeflate);

void BM_Crc32Table(benchmark::State& state) {
    const std::vector<unsigned char> data = Chunk();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TableCrc32(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Crc32Table);

void BM_Crc32Boost(benchmark::State& state) {
    const std::vector<unsigned char> data = Chunk();
    for (auto _ : state) {
        boost::crc_32_type crc;
        crc.process_bytes(data.data(), data.size());
        benchmark::DoNotOptimize(crc.checksum());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Crc32Boost);

}  // namespace

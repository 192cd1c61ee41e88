// Throughput of the store file checksum on the sizes the format uses: a
// header block (92 bytes) and a message header (292 bytes), the table form
// against its bit-by-bit definition.
#include <benchmark/benchmark.h>

#include <vector>

#include "storeformat/checksum.h"

namespace {

std::vector<unsigned char> data_of(size_t n) {
  std::vector<unsigned char> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(i * 131 + 7);
  return d;
}

void BM_Checksum(benchmark::State& state) {
  const auto d = data_of(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    uint32_t r = 0;
    store_file_checksum(d.data(), static_cast<uint32_t>(d.size()), &r);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Checksum)->Arg(92)->Arg(292)->Arg(65536);

void BM_ChecksumReference(benchmark::State& state) {
  const auto d = data_of(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        store_file_checksum_reference(d.data(), static_cast<uint32_t>(d.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ChecksumReference)->Arg(92)->Arg(292);

}  // namespace

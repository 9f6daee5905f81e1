// Throughput of the two text encoders over a 64 MiB buffer, with memcpy of
// the same buffer as the baseline. The source is a CFILE that reads from
// memory and the target a buffered writer on /dev/null, so the figures are
// those of the encoders and the writer, not of a disk.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "lib/cxxlib.h"
#include "lib/encode.h"

namespace {

constexpr size_t kInputSize = 64u << 20;

// A source file whose contents are a block of memory.
class MemorySource : public CFILE {
 public:
  explicit MemorySource(const std::vector<BYTE>& data) : m_data(data), m_offset(0) {}
  void Rewind() { m_offset = 0; }
  bool Read(void* buffer, DWORD count, DWORD* transferred) override {
    size_t left = m_data.size() - m_offset;
    DWORD n = left < count ? static_cast<DWORD>(left) : count;
    std::memcpy(buffer, m_data.data() + m_offset, n);
    m_offset += n;
    if (transferred) *transferred = n;
    return transferred ? true : n == count;
  }

 private:
  const std::vector<BYTE>& m_data;
  size_t m_offset;
};

const std::vector<BYTE>& Input() {
  static const std::vector<BYTE> data = [] {
    std::vector<BYTE> bytes(kInputSize);
    std::mt19937 random(12345);
    for (auto& b : bytes) b = static_cast<BYTE>(random());
    return bytes;
  }();
  return data;
}

void BM_Memcpy(benchmark::State& state) {
  const auto& input = Input();
  std::vector<BYTE> copy(input.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), input.data(), input.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

void RunEncoder(benchmark::State& state, bool (*encoder)(CFILE*, CBUFFEREDWRITER*)) {
  MemorySource source(Input());
  CBUFFEREDWRITER target("/dev/null");
  if (!target.Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  for (auto _ : state) {
    source.Rewind();
    if (!encoder(&source, &target) || !target.FlushBuffer()) {
      state.SkipWithError("encoder failed");
      break;
    }
  }
  target.Close();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kInputSize));
}

void BM_EncodeStreamHex(benchmark::State& state) { RunEncoder(state, EncodeStreamHex); }
void BM_EncodeStream64(benchmark::State& state) { RunEncoder(state, EncodeStream64); }

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeStreamHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeStream64)->Unit(benchmark::kMillisecond);

}  // namespace

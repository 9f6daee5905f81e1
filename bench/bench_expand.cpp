// Variable expansion: the time to expand a text is linear in the length of
// the result, however many pieces it is made of. BM_ExpandPieces grows the
// number of references (each to an 8-byte value); BM_ExpandLongValues
// grows the value of each of 4 references. Both should show time per byte
// that stays flat as the result grows (Complexity: O(N)).
#include <benchmark/benchmark.h>

#include <string>

#include "lib/cxxlib.h"
#include "lib/stringlist.h"

namespace {

void BM_ExpandPieces(benchmark::State& state) {
  const int pieces = static_cast<int>(state.range(0));
  CSTRINGLIST list;
  list.SetValue("V", "12345678");
  std::string text;
  for (int i = 0; i < pieces; ++i) text += "%V%";
  CTEXT work;
  for (auto _ : state) {
    work.Assign(text.c_str());
    benchmark::DoNotOptimize(list.Expand(&work, nullptr));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * pieces * 8);
  state.SetComplexityN(pieces);
}
// Up to 4,000 pieces: 32,000 bytes, just under the expansion limit.
BENCHMARK(BM_ExpandPieces)->RangeMultiplier(2)->Range(64, 4000)->Complexity(benchmark::oN);

void BM_ExpandLongValues(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  CSTRINGLIST list;
  std::string value(static_cast<size_t>(size), 'v');
  list.SetValue("V", value.c_str());
  CTEXT work;
  for (auto _ : state) {
    work.Assign("%V%%V%%V%%V%");
    benchmark::DoNotOptimize(list.Expand(&work, nullptr));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 4);
  state.SetComplexityN(size);
}
BENCHMARK(BM_ExpandLongValues)->RangeMultiplier(2)->Range(256, 8000)->Complexity(benchmark::oN);

}  // namespace

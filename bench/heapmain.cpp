// Entry of the benchmarks that run the library in their own process: the
// library started on a quiet heap object, then the benchmarks.
#include <benchmark/benchmark.h>

#include "lib/cxxlib.h"

namespace {

// Notifications of the library are not reported while measuring.
class BenchHeap : public CXXHEAP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) override {}
  void Notify(DWORD, const char*, const char*, const char*) override {}
};
CSTATICOBJECT<BenchHeap> g_heap;

}  // namespace

int main(int argc, char** argv) {
  CXXHEAP::StartLibrary(g_heap.Get(), GetModuleHandleA(nullptr));
  g_heap.Construct();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CXXHEAP::EndLibrary();
  g_heap.Destroy();
  return 0;
}

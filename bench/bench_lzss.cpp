// Throughput of the LZSS coder on 50 MB of page-description-like data and on
// 50 MB of random bytes, next to "gzip -6" on the same data (run as a
// process on a temporary copy, output to /dev/null).
//
//   build/release/bench/bench_lzss
//
// bytes_per_second is the input rate; "ratio" is output size / input size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sendclient/lzss.h"
#include "tests/support/random.h"

namespace {

constexpr std::size_t kSize = 50u << 20;

using mvntest::Random;

// Print-job text: coordinates and operators, font and colour changes, text
// runs, page structure comments, and now and then a block of binary image
// data (a noisy gradient with flat stretches).
std::vector<BYTE> PostScriptLike(std::size_t size) {
  static const char* const kOps[] = {"moveto", "lineto", "rlineto", "curveto", "closepath stroke",
                                     "fill", "gsave", "grestore", "newpath", "translate",
                                     "0 setgray", "1 setlinewidth", "rectfill", "clip"};
  static const char* const kWords[] = {"Invoice", "total", "amount", "the", "of", "Customer",
                                       "Reference", "page", "and", "payable", "within", "days"};
  Random random(2024);
  std::string out;
  out.reserve(size + 70000);
  out += "%!PS-Adobe-3.0\n%%Creator: report writer\n%%Pages: (atend)\n%%EndComments\n";
  unsigned page = 1;
  char line[160];
  while (out.size() < size) {
    const unsigned pick = random.Below(100);
    if (pick < 55) {
      std::snprintf(line, sizeof line, "%u.%02u %u.%02u %s\n", random.Below(612), random.Below(100),
                    random.Below(792), random.Below(100), kOps[random.Below(14)]);
      out += line;
    } else if (pick < 75) {
      out += "(";
      for (unsigned n = 1 + random.Below(8); n > 0; --n) {
        out += kWords[random.Below(12)];
        out += n > 1 ? " " : "";
      }
      std::snprintf(line, sizeof line, ") %u %u moveto show\n", random.Below(612), random.Below(792));
      out += line;
    } else if (pick < 85) {
      std::snprintf(line, sizeof line, "/F%u %u selectfont %.3f %.3f %.3f setrgbcolor\n", random.Below(6),
                    8 + random.Below(10), random.Below(1000) / 1000.0, random.Below(1000) / 1000.0,
                    random.Below(1000) / 1000.0);
      out += line;
    } else if (pick < 87) {
      std::snprintf(line, sizeof line, "showpage\n%%%%Page: %u %u\n%%%%BeginPageSetup\n/pagesave save def\n",
                    page, page);
      out += line;
      ++page;
    } else if (pick < 88) {
      // Binary image: rows of a gradient with noise and flat runs.
      const unsigned width = 64 + random.Below(512);
      const unsigned rows = 8 + random.Below(64);
      std::snprintf(line, sizeof line, "%u %u 8 [%u 0 0 -%u 0 %u]\n%%%%BeginBinary: %u\n", width, rows,
                    width, rows, rows, width * rows);
      out += line;
      for (unsigned y = 0; y < rows; ++y) {
        for (unsigned x = 0; x < width; ++x) {
          unsigned v = (x * 255 / width + y) & 0xFF;
          if (random.Below(4) == 0) v ^= random.Below(16);
          if ((x / 32) % 3 == 0) v = 0xFF;
          out += static_cast<char>(v);
        }
      }
      out += "\n%%EndBinary\n";
    } else {
      out += "  ";
      out.append(random.Below(30), ' ');
      out += "% layout\n";
    }
  }
  out.resize(size);
  return std::vector<BYTE>(out.begin(), out.end());
}

std::vector<BYTE> RandomData(std::size_t size) {
  Random random(7);
  std::vector<BYTE> out(size);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = random.Next();
    std::memcpy(&out[i], &v, 8);
  }
  return out;
}

// The two inputs, generated once, each with a temporary file for gzip.
struct Input {
  std::vector<BYTE> data;
  std::string path;
};

class Inputs {
 public:
  Inputs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mvn-bench-lzss-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    m_dir = pattern;
    m_inputs[0] = Make(PostScriptLike(kSize), "postscript.ps");
    m_inputs[1] = Make(RandomData(kSize), "random.bin");
  }
  ~Inputs() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  const Input& Get(int which) const { return m_inputs[which]; }

 private:
  Input Make(std::vector<BYTE> data, const char* name) {
    Input input{std::move(data), (std::filesystem::path(m_dir) / name).string()};
    std::ofstream out(input.path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data.data()), static_cast<std::streamsize>(input.data.size()));
    return input;
  }

  std::string m_dir;
  Input m_inputs[2];
};

const Inputs& TheInputs() {
  static Inputs inputs;
  return inputs;
}

// Counts what the coder writes, so the output costs nothing but the call.
struct CountingSink {
  std::size_t count = 0;
  std::uint32_t mix = 0;
  bool Put(BYTE b) {
    ++count;
    mix = mix * 31 + b;
    return true;
  }
};

void BM_Lzss(benchmark::State& state, int which) {
  const Input& input = TheInputs().Get(which);
  std::size_t out = 0;
  for (auto _ : state) {
    CLZSSMEMORYSOURCE source(input.data.data(), input.data.size());
    CountingSink sink;
    if (!LzssEncode(source, sink)) state.SkipWithError("encoder failed");
    benchmark::DoNotOptimize(sink.mix);
    out = sink.count;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.data.size()));
  state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(input.data.size());
}

std::size_t GzipSize(const std::string& path) {
  std::size_t out = 0;
  if (FILE* pipe = popen(("gzip -6 -c '" + path + "'").c_str(), "r")) {
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out += got;
    pclose(pipe);
  }
  return out;
}

void BM_Gzip6(benchmark::State& state, int which) {
  const Input& input = TheInputs().Get(which);
  // The compressed size, measured once before the timed runs.
  const std::size_t out = GzipSize(input.path);
  const std::string command = "gzip -6 -c '" + input.path + "' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("gzip failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.data.size()));
  state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(input.data.size());
}

// Input 0: page-description-like data; 1: random bytes.
BENCHMARK_CAPTURE(BM_Lzss, postscript, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Lzss, random, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Gzip6, postscript, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Gzip6, random, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();

// Tests of the LZSS coder: the fixed output vectors, round trips through a
// decoder written from the format alone, agreement with a plain (unoptimised)
// transcription of the coder, tree consistency on inputs far longer than the
// ring, sink failures, and round trips through the independent job-file
// decoder (tests/tools/jobdecode.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "sendclient/lzss.h"
#include "tests/support/random.h"
#include "tests/support/tempdir.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes FromString(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes FromHex(const char* hex) {
  Bytes out;
  unsigned value;
  int used;
  while (std::sscanf(hex, " %2x%n", &value, &used) == 1) {
    out.push_back(static_cast<BYTE>(value));
    hex += used;
  }
  return out;
}

Bytes Encode(const Bytes& input) {
  Bytes out;
  EXPECT_TRUE(LzssEncodeBuffer(input.data(), input.size(), out));
  return out;
}

// The reader's side of the format: a blank-filled ring, write position
// 4,078, literals and matches copied byte by byte through the ring. Fails
// the test on a match cut off by the end of the stream.
Bytes Decode(const Bytes& code) {
  BYTE ring[4096];
  std::memset(ring, ' ', sizeof ring);
  int w = 4078;
  Bytes out;
  std::size_t i = 0;
  while (i < code.size()) {
    const unsigned flags = code[i++];
    for (int bit = 0; bit < 8 && i < code.size(); ++bit) {
      if (flags & (1u << bit)) {
        const BYTE c = code[i++];
        out.push_back(c);
        ring[w] = c;
        w = (w + 1) & 4095;
      } else {
        if (i + 1 >= code.size()) {
          ADD_FAILURE() << "match cut off at offset " << i;
          return out;
        }
        const int position = code[i] | ((code[i + 1] & 0xF0) << 4);
        const int length = (code[i + 1] & 0x0F) + 3;
        i += 2;
        for (int k = 0; k < length; ++k) {
          const BYTE c = ring[(position + k) & 4095];
          out.push_back(c);
          ring[w] = c;
          w = (w + 1) & 4095;
        }
      }
    }
  }
  return out;
}

using mvntest::Random;

Bytes RandomBytes(std::size_t size, std::uint64_t seed) {
  Random random(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<BYTE>(random.Next() >> 56);
  return out;
}

// Page-description text with numbers, operators, repeated phrases, runs of
// blanks and short stretches of binary image data.
Bytes StructuredBytes(std::size_t size, std::uint64_t seed) {
  static const char* const kWords[] = {"moveto", "lineto", "curveto", "stroke", "fill",  "gsave",
                                       "grestore", "setrgbcolor", "show", "/Helvetica findfont",
                                       "scalefont setfont", "closepath", "newpath", "translate"};
  Random random(seed);
  std::string text;
  while (text.size() < size) {
    switch (random.Below(10)) {
      case 0:
        text += "%%Page: " + std::to_string(random.Below(500)) + " " + std::to_string(random.Below(500)) + "\n";
        break;
      case 1:
        text += "(The quick brown fox, page " + std::to_string(random.Below(40)) + ") show\n";
        break;
      case 2:
        text.append(random.Below(40), ' ');
        break;
      case 3:
        for (unsigned n = random.Below(60); n > 0; --n) text += static_cast<char>(random.Next() >> 56);
        break;
      case 4:
        text.append(random.Below(200), static_cast<char>(random.Below(2) ? 0xFF : 0x00));
        break;
      default:
        text += std::to_string(random.Below(1000)) + "." + std::to_string(random.Below(100)) + " " +
                std::to_string(random.Below(800)) + " " + kWords[random.Below(14)] + "\n";
        break;
    }
  }
  text.resize(size);
  return FromString(text);
}

// ---------------------------------------------------------------------------
// A plain transcription of the coder: 32-bit links, byte-by-byte comparison.
// The coder under test must produce exactly its output.
class PlainCoder {
 public:
  Bytes Run(const Bytes& input) {
    const int N = 4096, F = 18, NIL = N;
    std::vector<BYTE> text(N + F - 1, 0);
    left_.assign(N + 1, 0);
    right_.assign(N + 257, 0);
    parent_.assign(N + 1, 0);
    text_ = text.data();
    for (int i = N + 1; i <= N + 256; ++i) right_[i] = NIL;
    for (int i = 0; i < N; ++i) parent_[i] = NIL;
    std::size_t next = 0;
    auto get = [&](BYTE& c) {
      if (next == input.size()) return false;
      c = input[next++];
      return true;
    };
    Bytes out;
    int s = 0, r = N - F, len = 0;
    for (int i = s; i < r; ++i) text[i] = ' ';
    BYTE c;
    while (len < F && get(c)) text[r + len++] = c;
    if (len == 0) return out;
    for (int i = 1; i <= F; ++i) Insert(r - i);
    Insert(r);
    BYTE group[17] = {0};
    int fill = 1;
    unsigned mask = 1;
    do {
      if (matchLength_ > len) matchLength_ = len;
      if (matchLength_ <= 2) {
        matchLength_ = 1;
        group[0] |= mask;
        group[fill++] = text[r];
      } else {
        group[fill++] = static_cast<BYTE>(matchPosition_);
        group[fill++] = static_cast<BYTE>(((matchPosition_ >> 4) & 0xF0) | (matchLength_ - 3));
      }
      if ((mask <<= 1) == 0x100) {
        out.insert(out.end(), group, group + fill);
        group[0] = 0;
        fill = 1;
        mask = 1;
      }
      const int last = matchLength_;
      int i = 0;
      for (; i < last && get(c); ++i) {
        Delete(s);
        text[s] = c;
        if (s < F - 1) text[s + N] = c;
        s = (s + 1) % N;
        r = (r + 1) % N;
        Insert(r);
      }
      for (; i < last; ++i) {
        Delete(s);
        s = (s + 1) % N;
        r = (r + 1) % N;
        if (--len) Insert(r);
      }
    } while (len > 0);
    if (fill > 1) out.insert(out.end(), group, group + fill);
    return out;
  }

 private:
  void Insert(int r) {
    const int NIL = 4096;
    int cmp = 1, p = 4097 + text_[r];
    right_[r] = left_[r] = NIL;
    matchLength_ = 0;
    for (;;) {
      std::vector<int>& side = cmp >= 0 ? right_ : left_;
      if (side[p] == NIL) {
        side[p] = r;
        parent_[r] = p;
        return;
      }
      p = side[p];
      int i = 1;
      for (; i < 18; ++i) {
        if ((cmp = text_[r + i] - text_[p + i]) != 0) break;
      }
      if (i == 18) cmp = 0;
      if (i > matchLength_) {
        matchPosition_ = p;
        matchLength_ = i;
        if (i >= 18) break;
      }
    }
    parent_[r] = parent_[p];
    left_[r] = left_[p];
    right_[r] = right_[p];
    parent_[left_[p]] = r;
    parent_[right_[p]] = r;
    (right_[parent_[p]] == p ? right_ : left_)[parent_[p]] = r;
    parent_[p] = NIL;
  }
  void Delete(int p) {
    const int NIL = 4096;
    if (parent_[p] == NIL) return;
    int q;
    if (right_[p] == NIL) {
      q = left_[p];
    } else if (left_[p] == NIL) {
      q = right_[p];
    } else {
      q = left_[p];
      if (right_[q] != NIL) {
        while (right_[q] != NIL) q = right_[q];
        right_[parent_[q]] = left_[q];
        parent_[left_[q]] = parent_[q];
        left_[q] = left_[p];
        parent_[left_[p]] = q;
      }
      right_[q] = right_[p];
      parent_[right_[p]] = q;
    }
    parent_[q] = parent_[p];
    (right_[parent_[p]] == p ? right_ : left_)[parent_[p]] = q;
    parent_[p] = NIL;
  }

  BYTE* text_ = nullptr;
  std::vector<int> left_, right_, parent_;
  int matchPosition_ = 0, matchLength_ = 0;
};

// ---------------------------------------------------------------------------

struct Vector {
  const char* name;
  std::string input;
  const char* output;
};

TEST(Lzss, FixedVectors) {
  const Vector vectors[] = {
      {"empty", "", ""},
      {"one byte", "A", "01 41"},
      {"three literals", "abc", "07 61 62 63"},
      {"five blanks match the blank window", "     ", "00 ED F2"},
      {"eighteen blanks", std::string(18, ' '), "00 DC FF"},
      {"one full group", "ABCDEFGH", "FF 41 42 43 44 45 46 47 48"},
      {"second group", "ABCDEFGHI", "FF 41 42 43 44 45 46 47 48 01 49"},
      {"overlapping match", "abcabcabcabc", "07 61 62 63 EE F6"},
      {"hundred x", std::string(100, 'x'), "01 78 EE FF 00 0F 12 0F 24 0F 36 0F 40 06"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(Encode(FromString(v.input)), FromHex(v.output));
    EXPECT_EQ(Decode(FromHex(v.output)), FromString(v.input));
  }
}

struct Case {
  std::string name;
  Bytes data;
};

std::vector<Case> RoundTripCases() {
  std::vector<Case> cases;
  for (std::size_t size : {0, 1, 2, 3, 17, 18, 19, 4095, 4096, 4097, 4113, 8192, 65537}) {
    cases.push_back({"structured " + std::to_string(size), StructuredBytes(size, size)});
    cases.push_back({"random " + std::to_string(size), RandomBytes(size, size)});
  }
  for (std::size_t size : {1, 5, 18, 19, 100, 4096, 4097, 70000}) {
    cases.push_back({"blanks " + std::to_string(size), Bytes(size, ' ')});
    cases.push_back({"zeros " + std::to_string(size), Bytes(size, 0)});
    cases.push_back({"0xFF " + std::to_string(size), Bytes(size, 0xFF)});
  }
  // Small alphabets: deep trees, long shared prefixes, many full-length
  // matches replacing older nodes.
  for (unsigned symbols : {2u, 3u, 5u}) {
    Random random(symbols);
    Bytes data(30000);
    for (auto& b : data) b = static_cast<BYTE>('a' + random.Below(symbols));
    cases.push_back({"alphabet of " + std::to_string(symbols), data});
  }
  // Periods around the ring size and the look-ahead.
  for (std::size_t period : {2, 17, 18, 19, 4095, 4096, 4097}) {
    Bytes base = RandomBytes(period, period * 7);
    Bytes data;
    while (data.size() < 3 * 4096 + 100) data.insert(data.end(), base.begin(), base.end());
    cases.push_back({"period " + std::to_string(period), data});
  }
  return cases;
}

TEST(Lzss, RoundTripsAndMatchesPlainCoder) {
  for (const Case& c : RoundTripCases()) {
    SCOPED_TRACE(c.name);
    const Bytes code = Encode(c.data);
    EXPECT_EQ(code, PlainCoder().Run(c.data));
    EXPECT_EQ(Decode(code), c.data);
  }
}

// Several megabytes: the ring wraps hundreds of times and every node is
// deleted and reinserted again and again.
TEST(Lzss, LongInputsRoundTrip) {
  const Case cases[] = {
      {"structured 3 MB", StructuredBytes(3 << 20, 42)},
      {"random 2 MB", RandomBytes(2 << 20, 43)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes code = Encode(c.data);
    EXPECT_EQ(Decode(code), c.data);
  }
  // The transcription is slow; one long input is enough to pin agreement
  // once the trees have seen many deletions.
  const Bytes data = StructuredBytes(1 << 20, 44);
  EXPECT_EQ(Encode(data), PlainCoder().Run(data));
}

// Checks every link of the encoder's trees: parent and child links agree,
// every node in a tree is reachable from its root, and an in-order walk
// gives strictly increasing strings.
void CheckTrees(const CLZSSENCODER& e) {
  std::vector<int> seen(LZSS_N, 0);
  int reachable = 0;
  for (int root = LZSS_N + 1; root <= LZSS_N + 256; ++root) {
    const BYTE* previous = nullptr;
    std::vector<int> stack;
    int node = e.Right(root);
    if (node != LZSS_NIL) {
      ASSERT_EQ(e.Parent(node), root);
    }
    while (node != LZSS_NIL || !stack.empty()) {
      while (node != LZSS_NIL) {
        ASSERT_LT(node, LZSS_N);
        ASSERT_EQ(seen[node]++, 0) << "node " << node << " reached twice";
        ASSERT_EQ(e.m_text[node], root - LZSS_N - 1);
        for (int child : {e.Left(node), e.Right(node)}) {
          if (child != LZSS_NIL) {
            ASSERT_EQ(e.Parent(child), node);
          }
        }
        stack.push_back(node);
        node = e.Left(node);
      }
      node = stack.back();
      stack.pop_back();
      ++reachable;
      if (previous) {
        ASSERT_LT(std::memcmp(previous, &e.m_text[node], LZSS_F), 0);
      }
      previous = &e.m_text[node];
      node = e.Right(node);
    }
  }
  int linked = 0;
  for (int p = 0; p < LZSS_N; ++p) {
    if (e.Parent(p) != LZSS_NIL) {
      ++linked;
      ASSERT_TRUE(seen[p]) << "node " << p << " has a parent but is not in its tree";
    }
  }
  ASSERT_EQ(linked, reachable);
}

// A source that checks the trees after every byte when the first strings
// leave the ring, often during the next laps, then every few thousand bytes (the encoder asks for a
// byte only between complete tree operations), so a broken link is caught
// before it can send a descent round in circles.
struct CheckingSource {
  const CLZSSENCODER* encoder;
  Bytes data;
  std::size_t next = 0;
  int checks = 0;
  bool Get(BYTE& c) {
    if (next == data.size()) return false;
    if (next > 4096 && (next < 5000 || (next < 3 * 4096 && next % 97 == 0) || next % 3001 == 0)) {
      CheckTrees(*encoder);
      ++checks;
      // A broken tree may loop forever: stop the run at the first fault.
      if (::testing::Test::HasFatalFailure()) throw std::runtime_error("trees inconsistent");
    }
    c = data[next++];
    return true;
  }
};

TEST(Lzss, TreesStayConsistent) {
  for (const Bytes& data : {StructuredBytes(600000, 5), RandomBytes(200000, 6), Bytes(50000, 'q')}) {
    auto encoder = std::make_unique<CLZSSENCODER>();
    CheckingSource source{encoder.get(), data};
    Bytes out;
    CLZSSVECTORSINK sink(out);
    bool result = false;
    try {
      result = encoder->Encode(source, sink);
    } catch (const std::runtime_error&) {
      return;
    }
    ASSERT_TRUE(result);
    EXPECT_GT(source.checks, 10);
    CheckTrees(*encoder);
    EXPECT_EQ(Decode(out), data);
  }
}

// A sink that takes a fixed number of bytes and then refuses; any call
// after a refusal is an error of the encoder.
struct LimitedSink {
  std::size_t limit;
  Bytes taken;
  int refusals = 0;
  bool Put(BYTE b) {
    if (taken.size() == limit) {
      ++refusals;
      return false;
    }
    taken.push_back(b);
    return true;
  }
};

TEST(Lzss, SinkFailureStopsTheRun) {
  const Bytes data = StructuredBytes(50000, 9);
  const Bytes full = Encode(data);
  for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{8}, std::size_t{9}, full.size() / 2,
                            full.size() - 1}) {
    SCOPED_TRACE(limit);
    CLZSSMEMORYSOURCE source(data.data(), data.size());
    LimitedSink sink{limit, {}};
    EXPECT_FALSE(LzssEncode(source, sink));
    EXPECT_EQ(sink.refusals, 1);
    EXPECT_EQ(sink.taken, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(limit)));
  }
  // A sink that takes exactly the whole output: success.
  CLZSSMEMORYSOURCE source(data.data(), data.size());
  LimitedSink sink{full.size(), {}};
  EXPECT_TRUE(LzssEncode(source, sink));
  EXPECT_EQ(sink.taken, full);
}

// The buffered files' shape (GetChar / PutChar) is accepted as it is, and
// the source is not asked again once it has reported its end.
struct CharSource {
  std::string data;
  std::size_t next = 0;
  int callsAfterEnd = 0;
  bool ended = false;
  bool GetChar(BYTE& c) {
    if (ended) ++callsAfterEnd;
    if (next == data.size()) {
      ended = true;
      return false;
    }
    c = static_cast<BYTE>(data[next++]);
    return true;
  }
};
struct CharSink {
  Bytes out;
  bool PutChar(BYTE c) {
    out.push_back(c);
    return true;
  }
};

TEST(Lzss, BufferedFileShapedSourceAndSink) {
  for (const std::string& text : {std::string("abcabcabcabc"), std::string(100, 'x'), std::string("A")}) {
    CharSource source{text};
    CharSink sink;
    ASSERT_TRUE(LzssEncode(source, sink));
    EXPECT_EQ(source.callsAfterEnd, 0);
    EXPECT_EQ(Decode(sink.out), FromString(text));
  }
}

// ---------------------------------------------------------------------------
// Round trip through the independent decoder: a request-file job whose
// attachment sections are compressed payloads (raw bodies), wrapped once
// more as a compressed gateway wrapper, decoded by tests/tools/jobdecode.py.

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(Lzss, RoundTripThroughJobDecoder) {
  std::vector<Case> cases = {
      {"empty", {}},
      {"one", FromString("A")},
      {"s17", StructuredBytes(17, 1)},
      {"s18", StructuredBytes(18, 2)},
      {"s4095", StructuredBytes(4095, 3)},
      {"s4096", StructuredBytes(4096, 4)},
      {"s4097", StructuredBytes(4097, 5)},
      {"r17", RandomBytes(17, 6)},
      {"r4095", RandomBytes(4095, 7)},
      {"r4096", RandomBytes(4096, 8)},
      {"r4097", RandomBytes(4097, 9)},
      {"blanks", Bytes(10000, ' ')},
      {"run", Bytes(5000, 'x')},
      {"s3MB", StructuredBytes(3 << 20, 10)},
      {"r1MB", RandomBytes(1 << 20, 11)},
  };
  std::string inner = "!MVN::MVN\r\nSENDER-TIME=3ae8d086\r\n!MVN\r\n";
  for (const Case& c : cases) {
    inner += "!ATTACHMENT,1,0,NAME:" + c.name + "\r\n" + AsString(Encode(c.data)) + "!ATTACHMENT-END\r\n";
  }
  inner += "!MVN-END\r\n!MVN-END\r\n";
  const std::string job = "!MVN::MVN\r\n!GATEWAY,1,0\r\n" + AsString(Encode(FromString(inner))) +
                          "!GATEWAY-END\r\n!MVN-END\r\n";

  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "MVN1.TMP", job);
  const std::string command = std::string(MVN_PYTHON) + " " + MVN_JOBDECODE + " " + (dir / "MVN1.TMP") + " " +
                              (dir / "out") + " > " + (dir / "summary.json");
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  const std::string summary = mvntest::ReadFile(dir / "summary.json");
  EXPECT_NE(summary.find("\"SENDER-TIME\": \"3ae8d086\""), std::string::npos) << summary;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    char name[64];
    std::snprintf(name, sizeof name, "%02zu-ATTACHMENT.bin", i);
    ASSERT_TRUE(std::filesystem::exists(dir / ("out/" + std::string(name))));
    EXPECT_TRUE(mvntest::ReadFile(dir / ("out/" + std::string(name))) == AsString(cases[i].data));
    EXPECT_NE(summary.find("\"display_name\": \"" + cases[i].name + "\""), std::string::npos);
  }
}

}  // namespace

// Transport encodings: exact output, round trips through an independent
// decoder, block boundaries and failures of source and target.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/encode.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

struct Encoded {
  bool result;  // of the encoder
  bool closed;  // the target's Close
  std::string text;
};

// Runs one encoding from a real source file into a real target file.
Encoded Encode(DWORD encoding, const std::string& data) {
  TempDir dir;
  WriteFile(dir / "in", data);
  CFILE source((dir / "in").c_str());
  CBUFFEREDWRITER target((dir / "out").c_str());
  EXPECT_TRUE(source.Open(GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(target.Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  Encoded e;
  switch (encoding) {
    case ENCODING_RAW: e.result = CopyStream(&source, &target); break;
    case ENCODING_HEX: e.result = EncodeStreamHex(&source, &target); break;
    default: e.result = EncodeStream64(&source, &target); break;
  }
  e.closed = target.Close();
  e.text = ReadFile(dir / "out");
  return e;
}

// The lines of an encoded text; each must be a blank, characters, CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "line without CR LF at " << at;
    if (end == std::string::npos) break;
    EXPECT_EQ(text[at], ' ') << "line without its blank at " << at;
    lines.push_back(text.substr(at + 1, end - at - 1));
    at = end + 2;
  }
  return lines;
}

int Value64(char c) {
  const char* p = std::strchr(kEncode64Alphabet, c);
  return (p && c) ? static_cast<int>(p - kEncode64Alphabet) : -1;
}

// Decodes one run of 64-alphabet characters (groups of 4, "." pads).
std::string Decode64(const std::string& run) {
  std::string out;
  EXPECT_EQ(run.size() % 4, 0u) << run;
  for (size_t i = 0; i + 4 <= run.size(); i += 4) {
    int v[4];
    int pads = 0;
    for (int k = 0; k < 4; ++k) {
      if (run[i + k] == '.') {
        v[k] = 0;
        ++pads;
      } else {
        v[k] = Value64(run[i + k]);
        EXPECT_GE(v[k], 0) << "not in the alphabet: " << run[i + k];
        EXPECT_EQ(pads, 0) << "character after a pad";
      }
    }
    unsigned bits = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
    out += static_cast<char>(bits >> 16);
    if (pads < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (pads < 1) out += static_cast<char>(bits & 0xFF);
  }
  return out;
}

std::string DecodeHex(const std::string& run) {
  std::string out;
  EXPECT_EQ(run.size() % 2, 0u);
  for (size_t i = 0; i + 2 <= run.size(); i += 2) {
    EXPECT_TRUE(std::strchr("0123456789ABCDEF", run[i]) && std::strchr("0123456789ABCDEF", run[i + 1]));
    out += static_cast<char>(std::stoi(run.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random() & 0xFF);
  return data;
}

std::vector<size_t> LineLengths(const std::string& text) {
  std::vector<size_t> lengths;
  for (const auto& line : Lines(text)) lengths.push_back(line.size());
  return lengths;
}

}  // namespace

TEST(Encodings, GoldenLines) {
  struct Case {
    DWORD encoding;
    std::string data;
    std::string text;
  } cases[] = {
      {ENCODING_64, "abc", " OM9Z\r\n"},
      {ENCODING_64, "a", " OG..\r\n"},
      {ENCODING_64, "ab", " OM8.\r\n"},
      {ENCODING_64, std::string("\xFF\xFF\xFF\x00\x00\x00", 6), " ####0000\r\n"},
      {ENCODING_64, std::string("\xFB\xEF\xBE", 3), " $$$$\r\n"},
      {ENCODING_HEX, "abc", " 616263\r\n"},
      {ENCODING_HEX, std::string("\x00\xAB\xFF", 3), " 00ABFF\r\n"},
      {ENCODING_RAW, std::string("a\0\r\nb", 5), std::string("a\0\r\nb", 5)},
  };
  for (const Case& c : cases) {
    Encoded e = Encode(c.encoding, c.data);
    EXPECT_TRUE(e.result);
    EXPECT_TRUE(e.closed);
    EXPECT_EQ(e.text, c.text) << "encoding " << c.encoding;
  }
  for (DWORD encoding : {ENCODING_RAW, ENCODING_HEX, ENCODING_64}) {
    Encoded e = Encode(encoding, "");
    EXPECT_TRUE(e.result);
    EXPECT_EQ(e.text, "") << "encoding " << encoding;
  }
}

TEST(Encodings, LinesRestartAtEveryBlock) {
  // 100 bytes of hexadecimal: three full lines and one of 8 digits.
  EXPECT_EQ(LineLengths(Encode(ENCODING_HEX, RandomBytes(100, 1)).text), (std::vector<size_t>{64, 64, 64, 8}));

  std::vector<size_t> block(170, 64);
  block.push_back(44);
  Encoded full = Encode(ENCODING_64, RandomBytes(8192, 2));
  EXPECT_EQ(LineLengths(full.text), block);
  EXPECT_EQ(Lines(full.text).back().back(), '.');

  std::vector<size_t> oneMore = block;
  oneMore.push_back(4);
  Encoded over = Encode(ENCODING_64, RandomBytes(8193, 3));
  EXPECT_EQ(LineLengths(over.text), oneMore);
  EXPECT_EQ(Lines(over.text).back().substr(2), "..");

  // Two blocks and a bit: the pad line stands inside the stream.
  std::vector<size_t> two = block;
  two.insert(two.end(), block.begin(), block.end());
  two.push_back(8);
  EXPECT_EQ(LineLengths(Encode(ENCODING_64, RandomBytes(2 * 8192 + 5, 4)).text), two);
}

TEST(Encodings, RoundTripThroughADecoder) {
  for (size_t size : {size_t{1}, size_t{2}, size_t{3}, size_t{47}, size_t{48}, size_t{49}, size_t{8191},
                      size_t{8192}, size_t{8193}, size_t{3 * 8192 + 100}, size_t{100000}}) {
    SCOPED_TRACE(size);
    std::string data = RandomBytes(size, static_cast<unsigned>(size));
    Encoded e64 = Encode(ENCODING_64, data);
    Encoded hex = Encode(ENCODING_HEX, data);
    Encoded raw = Encode(ENCODING_RAW, data);
    ASSERT_TRUE(e64.result && e64.closed && hex.result && hex.closed && raw.result && raw.closed);
    std::string decoded64, decodedHex;
    for (const auto& line : Lines(e64.text)) {
      EXPECT_LE(line.size(), 64u);
      decoded64 += Decode64(line);
    }
    for (const auto& line : Lines(hex.text)) {
      EXPECT_LE(line.size(), 64u);
      decodedHex += DecodeHex(line);
    }
    EXPECT_TRUE(decoded64 == data);
    EXPECT_TRUE(decodedHex == data);
    EXPECT_TRUE(raw.text == data);
  }
}

TEST(Encodings, Encode64BlockStaysWithinItsCapacity) {
  struct Case {
    DWORD length;
    DWORD capacity;
    bool result;
    DWORD characters;  // written when the result is false
  } cases[] = {
      {3, 5, true, 4},    // four characters and the NUL
      {3, 4, false, 0},   // no room for the NUL
      {4, 9, true, 8},
      {4, 8, false, 4},
      {48, 65, true, 64},
      {48, 64, false, 60},
      {0, 1, true, 0},
      {0, 0, false, 0},
      {1, 0, false, 0},
  };
  const std::string data = RandomBytes(48, 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " into " << c.capacity);
    char out[80];
    std::memset(out, '#', sizeof out);
    DWORD capacity = c.capacity;
    bool result = Encode64Block(reinterpret_cast<const BYTE*>(data.data()), c.length, out, &capacity);
    EXPECT_EQ(result, c.result);
    for (DWORD i = c.capacity; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << "written past the capacity at " << i;
    if (result) {
      EXPECT_EQ(capacity, (c.length + 2) / 3 * 4);
      EXPECT_EQ(out[capacity], '\0');
      std::string text(out, capacity);
      EXPECT_TRUE(Decode64(text) == data.substr(0, c.length));
    } else {
      EXPECT_EQ(capacity, c.capacity);
      // The characters of the groups that fitted; the rest was zeroed.
      std::string inside(out, c.capacity);
      EXPECT_EQ(inside.find('\0') == std::string::npos ? inside.size() : inside.find('\0'), c.characters);
      EXPECT_EQ(inside.find_first_not_of('\0', c.characters), std::string::npos);
    }
  }
  char token[32];
  DWORD capacity = sizeof token;
  ASSERT_TRUE(Encode64Block(reinterpret_cast<const BYTE*>("secret"), 6, token, &capacity));
  EXPECT_STREQ(token, "SsLZScLq");
}

TEST(Encodings, SourceReadFailureIsNoSuccess) {
  TempDir dir;
  CFILE closed((dir / "in").c_str());  // never opened: every read fails
  CBUFFEREDWRITER target((dir / "out").c_str());
  ASSERT_TRUE(target.Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  EXPECT_FALSE(CopyStream(&closed, &target));
  EXPECT_FALSE(EncodeStreamHex(&closed, &target));
  EXPECT_FALSE(EncodeStream64(&closed, &target));
  EXPECT_TRUE(target.Close());
}

TEST(Encodings, TargetWriteFailureIsNoSuccess) {
  TempDir dir;
  const std::string big = RandomBytes(100000, 5);
  WriteFile(dir / "big", big);
  WriteFile(dir / "small", "abc");
  for (DWORD encoding : {ENCODING_RAW, ENCODING_HEX, ENCODING_64}) {
    for (const char* name : {"big", "small"}) {
      SCOPED_TRACE(testing::Message() << "encoding " << encoding << " of " << name);
      CFILE source((dir / name).c_str());
      ASSERT_TRUE(source.Open(GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      CBUFFEREDWRITER full("/dev/full");
      ASSERT_TRUE(full.Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
      bool encoded = encoding == ENCODING_RAW ? CopyStream(&source, &full)
                     : encoding == ENCODING_HEX ? EncodeStreamHex(&source, &full)
                                                : EncodeStream64(&source, &full);
      bool closed = full.Close();
      // Whatever part of the output was lost, the caller learns of it.
      EXPECT_FALSE(encoded && closed);
      if (std::string(name) == "big") {
        EXPECT_FALSE(encoded);
      }
    }
  }
  // A closed target takes nothing.
  CFILE source((dir / "small").c_str());
  ASSERT_TRUE(source.Open(GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  CFILE nowhere((dir / "nowhere").c_str());
  EXPECT_FALSE(CopyStream(&source, &nowhere));
  mvntest::Heap().notifications.clear();
}

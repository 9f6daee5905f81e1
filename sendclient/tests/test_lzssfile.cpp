// LZSS over files and open streams: the same bytes as the coder over
// memory, read from the stream's logical position, failures surfaced.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lib/bufferedfile.h"
#include "sendclient/lzss.h"
#include "sendclient/lzssfile.h"
#include "tests/support/tempdir.h"

using namespace mvntest;
using mvn::sendclient::LzssCompressFile;
using mvn::sendclient::LzssCompressStream;

namespace {

std::string Compressed(const std::string& data) {
  std::vector<BYTE> out;
  EXPECT_TRUE(LzssEncodeBuffer(data.data(), data.size(), out));
  return std::string(out.begin(), out.end());
}

std::string Sample(std::size_t size) {
  std::mt19937 random(7);
  std::string text;
  static const char* const words[] = {"moveto ", "lineto ", "stroke\r\n", "0 0 ", "612 792 ", "gsave ", "grestore\n"};
  while (text.size() < size) {
    if (random() % 9 == 0) {
      for (int i = 0; i < 40; ++i) text += static_cast<char>(random());
    } else {
      text += words[random() % 7];
    }
  }
  text.resize(size);
  return text;
}

}  // namespace

TEST(LzssFile, CompressesFilesLikeTheCoderOverMemory) {
  TempDir dir;
  for (std::size_t size : {0u, 1u, 18u, 8191u, 8192u, 8193u, 300000u}) {
    std::string data = Sample(size);
    WriteFile(dir / "in", data);
    bool writeFailed = true;
    ASSERT_TRUE(LzssCompressFile((dir / "in").c_str(), (dir / "out").c_str(), &writeFailed)) << size;
    EXPECT_FALSE(writeFailed);
    EXPECT_EQ(ReadFile(dir / "out"), Compressed(data)) << size;
  }
}

TEST(LzssFile, FileFormFailures) {
  TempDir dir;
  bool writeFailed = true;
  EXPECT_FALSE(LzssCompressFile((dir / "missing").c_str(), (dir / "out").c_str(), &writeFailed));
  EXPECT_FALSE(writeFailed);
  // A destination that cannot take the output: the run is not a success.
  WriteFile(dir / "in", Sample(100000));
  EXPECT_FALSE(LzssCompressFile((dir / "in").c_str(), "/dev/full", &writeFailed));
  EXPECT_TRUE(writeFailed);
}

TEST(LzssFile, StreamStartsAtTheReadersLogicalPosition) {
  TempDir dir;
  std::string data = "first line\r" + Sample(20000);
  WriteFile(dir / "in", data);
  CBUFFEREDREADER reader((dir / "in").c_str());
  ASSERT_TRUE(reader.Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  // The reader has buffered the file and pushed a byte back after the CR.
  CTEXT line;
  ASSERT_TRUE(reader.ReadLine(&line, 100));
  EXPECT_STREQ(line.Text(), "first line");
  CFILE out((dir / "out").c_str());
  ASSERT_TRUE(out.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(LzssCompressStream(&reader, &out));
  out.Close();
  EXPECT_EQ(ReadFile(dir / "out"), Compressed(data.substr(11)));

  // An absolute seek forgets the pushed-back byte: the whole file again.
  ASSERT_EQ(reader.SetPos(FILE_BEGIN, 0), 0u);
  CFILE again((dir / "again").c_str());
  ASSERT_TRUE(again.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(LzssCompressStream(&reader, &again));
  again.Close();
  EXPECT_EQ(ReadFile(dir / "again"), Compressed(data));

  CFILE closed;
  EXPECT_FALSE(LzssCompressStream(&reader, &closed));
}

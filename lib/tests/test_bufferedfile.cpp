// Buffered reader and writer over real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "lib/bufferedfile.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;
using namespace std::string_literals;

namespace {

bool OpenForReading(CFILE* file) {
  return file->Open(GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool OpenForWriting(CFILE* file) {
  return file->Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Every line ReadLine gives until it returns false.
std::vector<std::string> ReadAllLines(CBUFFEREDREADER* reader, DWORD limit) {
  std::vector<std::string> lines;
  CTEXT line;
  while (reader->ReadLine(&line, limit)) lines.push_back(line.Text());
  return lines;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
  return data;
}

bool RaisesLibraryError(const std::function<void()>& call) {
  try {
    call();
  } catch (const SystemException& e) {
    return e.Code() == LIBRARY_EXCEPTION_CODE;
  }
  return false;
}

}  // namespace

TEST(BufferedReader, LineEnds) {
  TempDir dir;
  struct Case {
    std::string data;
    DWORD limit;
    std::vector<std::string> lines;
    DWORD counted;
  } cases[] = {
      {"a\r\nb\rc\n\nd", 65535, {"a", "b", "c", "", "d"}, 4},
      {"", 65535, {}, 0},
      {"\r\n", 65535, {""}, 1},
      {"\r", 65535, {""}, 1},
      // Pieces of the limit; a line end right after a piece belongs to it.
      {"abcdef\nxy", 3, {"abc", "def", "xy"}, 1},
      {"abc\ndef\n", 3, {"abc", "def"}, 2},
      {"abc\r\nd", 3, {"abc", "d"}, 1},
      {"abc\rd", 3, {"abc", "d"}, 1},
      {"abcdefg\r\n", 3, {"abc", "def", "g"}, 1},
      {"abc", 3, {"abc"}, 0},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string path = dir / ("lines" + std::to_string(index++));
    WriteFile(path, c.data);
    CBUFFEREDREADER reader(path.c_str());
    ASSERT_TRUE(OpenForReading(&reader));
    SCOPED_TRACE(testing::Message() << "case " << index);
    EXPECT_EQ(ReadAllLines(&reader, c.limit), c.lines);
    EXPECT_EQ(reader.LineCount(), c.counted);
    CTEXT line;
    EXPECT_FALSE(reader.ReadLine(&line, c.limit));
  }

  // Lines longer than the buffer and than the string's first capacity.
  std::string longLine(20000, 'x');
  WriteFile(dir / "long", longLine + "\n" + longLine);
  CBUFFEREDREADER reader((dir / "long").c_str());
  ASSERT_TRUE(OpenForReading(&reader));
  EXPECT_EQ(ReadAllLines(&reader, 65535), (std::vector<std::string>{longLine, longLine}));
  EXPECT_TRUE(reader.Close());
  EXPECT_EQ(reader.LineCount(), 0u);
}

TEST(BufferedReader, PushBackAndRead) {
  TempDir dir;
  std::string data = Pattern(20000);
  WriteFile(dir / "data", "xyz" + data);
  CBUFFEREDREADER reader((dir / "data").c_str());
  ASSERT_TRUE(OpenForReading(&reader));

  char c = 0;
  ASSERT_TRUE(reader.GetChar(&c));
  EXPECT_EQ(c, 'x');
  reader.Unget(c);
  char three[3];
  EXPECT_TRUE(reader.Read(three, 3, nullptr));
  EXPECT_EQ(std::string(three, 3), "xyz");

  // Many pushed-back bytes come back last pushed first, before the file.
  for (char b : std::string(100, 'p')) reader.Unget(b);
  reader.Unget('q');
  ASSERT_TRUE(reader.GetChar(&c));
  EXPECT_EQ(c, 'q');

  // Pushed-back, buffered and unbuffered bytes in one read.
  std::string out(15000, '\0');
  DWORD count = 0;
  EXPECT_TRUE(reader.Read(out.data(), 15000, &count));
  EXPECT_EQ(count, 15000u);
  EXPECT_EQ(out, std::string(100, 'p') + data.substr(0, 14900));

  // Past the end: what is there, and false without an out count.
  std::string rest(10000, '\0');
  EXPECT_TRUE(reader.Read(rest.data(), 10000, &count));
  EXPECT_EQ(count, 5100u);
  EXPECT_EQ(rest.substr(0, 5100), data.substr(14900));
  EXPECT_FALSE(reader.GetChar(&c));
  reader.SetPos(FILE_END, -2);
  EXPECT_FALSE(reader.Read(rest.data(), 3, nullptr));
}

TEST(BufferedReader, SetPosKeepsTheLogicalPosition) {
  TempDir dir;
  std::string data = Pattern(20000);
  WriteFile(dir / "data", data);
  CBUFFEREDREADER reader((dir / "data").c_str());
  ASSERT_TRUE(OpenForReading(&reader));

  char c = 0;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(reader.GetChar(&c));
  EXPECT_EQ(reader.SetPos(FILE_CURRENT, 0), 10u);  // 8192 bytes were read from the file

  struct Step {
    DWORD method;
    LONGLONG distance;
    ULONGLONG position;
  } steps[] = {
      {FILE_CURRENT, 100, 110},     // inside the buffer
      {FILE_CURRENT, -50, 60},      // back inside the buffer
      {FILE_CURRENT, -60, 0},       // back to the buffer's start
      {FILE_CURRENT, 10, 10},
      {FILE_CURRENT, 9000, 9010},   // beyond the buffer
      {FILE_CURRENT, -9000, 10},    // before the buffer
      {FILE_BEGIN, 19990, 19990},
      {FILE_END, -20000, 0},
      {FILE_CURRENT, 8191, 8191},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.method << " " << s.distance);
    EXPECT_EQ(reader.SetPos(s.method, s.distance), s.position);
    EXPECT_EQ(reader.SetPos(FILE_CURRENT, 0), s.position);
    ASSERT_TRUE(reader.GetChar(&c));
    EXPECT_EQ(c, data[s.position]);
    reader.Unget(c);
    ASSERT_TRUE(reader.GetChar(&c));  // pushed back bytes stay put across moves
    reader.SetPos(FILE_CURRENT, -1);
  }

  // Moves that no file position can take fail, whatever their size.
  for (LONGLONG distance : {std::numeric_limits<LONGLONG>::min(), LONGLONG{-8193}}) {
    SCOPED_TRACE(distance);
    EXPECT_EQ(reader.SetPos(FILE_CURRENT, distance), INVALID_FILE_POSITION);
  }
  mvntest::Heap().notifications.clear();
}

TEST(BufferedWriter, BlocksAndFormats) {
  TempDir dir;
  std::string path = dir / "out";
  {
    CBUFFEREDWRITER writer(path.c_str());
    ASSERT_TRUE(OpenForWriting(&writer));
    for (int i = 0; i < 8193; ++i) ASSERT_TRUE(writer.PutChar(static_cast<char>('a' + i % 26)));
    EXPECT_EQ(fs::file_size(path), 8192u);
    EXPECT_EQ(writer.BufferedBytes(), 1u);
    EXPECT_EQ(writer.GetSize(), 8192u);
    EXPECT_EQ(writer.SetPos(FILE_CURRENT, 0), 8193u);
    EXPECT_TRUE(writer.FlushBuffer());
    EXPECT_EQ(fs::file_size(path), 8193u);
    EXPECT_TRUE(writer.FlushBuffer());  // nothing buffered
  }
  EXPECT_EQ(ReadFile(path).size(), 8193u);

  {
    CBUFFEREDWRITER writer(path.c_str());
    ASSERT_TRUE(OpenForWriting(&writer));
    EXPECT_TRUE(writer.WriteFormatLine("100%% done"));
    EXPECT_TRUE(writer.WriteFormatLine("plain"));
    EXPECT_TRUE(writer.WriteFormatLine("%s=%lu,%04x", "n", DWORD{42}, 255u));
    EXPECT_TRUE(writer.WriteLine(nullptr));
    EXPECT_TRUE(writer.WriteString(nullptr));
    EXPECT_TRUE(writer.WriteLine("line"));
    EXPECT_TRUE(writer.WriteBytes("", 0));
    EXPECT_TRUE(writer.WriteBytes("a\0b", 3));
    EXPECT_TRUE(writer.WriteEOL());
    // Slot 11 writes the buffer first, then the block straight to the file.
    DWORD count = 0;
    EXPECT_TRUE(writer.Write("direct", 6, &count));
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(writer.BufferedBytes(), 0u);
    EXPECT_TRUE(writer.PutChar('!'));
    // Destruction writes the last byte.
  }
  EXPECT_EQ(ReadFile(path), "100% done\r\nplain\r\nn=42,00ff\r\n\r\nline\r\na\0b\r\ndirect!"s);

  // A move writes the buffer first; the close writes what is left.
  CBUFFEREDWRITER writer(path.c_str());
  ASSERT_TRUE(OpenForWriting(&writer));
  EXPECT_TRUE(writer.WriteString("0123456789"));
  EXPECT_EQ(writer.SetPos(FILE_BEGIN, 2), 2u);
  EXPECT_TRUE(writer.WriteString("ab"));
  EXPECT_EQ(writer.SetPos(FILE_CURRENT, 0), 4u);
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(ReadFile(path), "01ab456789");
  EXPECT_TRUE(writer.SetSize(5));
  EXPECT_TRUE(writer.WriteString("Z"));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadFile(path), "01ab4Z");

  // A large block through WriteBytes crosses several buffers.
  std::string big = Pattern(50000);
  ASSERT_TRUE(OpenForWriting(&writer));
  EXPECT_TRUE(writer.PutChar('<'));
  EXPECT_TRUE(writer.WriteBytes(big.data(), static_cast<DWORD>(big.size())));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadFile(path), "<" + big);
}

TEST(BufferedWriter, FailedWritesSurface) {
  CBUFFEREDWRITER writer("/dev/full");
  ASSERT_TRUE(writer.Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(writer.WriteString("pending"));
  EXPECT_FALSE(writer.FlushBuffer());
  EXPECT_EQ(writer.BufferedBytes(), 7u);
  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.SetPos(FILE_BEGIN, 0), INVALID_FILE_POSITION);
  EXPECT_FALSE(writer.Write("x", 1, nullptr));
  DWORD count = 99;
  EXPECT_FALSE(writer.Write("x", 1, &count));
  EXPECT_EQ(count, 0u);

  // Once the buffer is full, the next byte is refused.
  for (DWORD i = 7; i < 8192; ++i) ASSERT_TRUE(writer.PutChar('z'));
  EXPECT_FALSE(writer.PutChar('z'));
  EXPECT_FALSE(writer.WriteBytes("abc", 3));
  EXPECT_FALSE(writer.WriteLine("abc"));
  EXPECT_FALSE(writer.WriteFormatLine("%d", 1));
  EXPECT_EQ(writer.BufferedBytes(), 8192u);

  EXPECT_FALSE(writer.Close());
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(writer.BufferedBytes(), 0u);
  mvntest::Heap().notifications.clear();
}

TEST(BufferedWriter, AMoveWhoseFlushFailsDoesNotMove) {
  TempDir dir;
  WriteFile(dir / "ten", "0123456789");
  // Opened for reading only: every block write fails.
  CBUFFEREDWRITER writer((dir / "ten").c_str());
  ASSERT_TRUE(OpenForReading(&writer));
  EXPECT_EQ(writer.SetPos(FILE_BEGIN, 5), 5u);  // nothing buffered: moves
  ASSERT_TRUE(writer.PutChar('x'));
  EXPECT_EQ(writer.SetPos(FILE_BEGIN, 0), INVALID_FILE_POSITION);
  EXPECT_EQ(writer.SetPos(FILE_END, 0), INVALID_FILE_POSITION);
  // Still at 5, the byte still waiting behind it.
  EXPECT_EQ(writer.SetPos(FILE_CURRENT, 0), 6u);
  EXPECT_EQ(writer.BufferedBytes(), 1u);
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(ReadFile(dir / "ten"), "0123456789");
  mvntest::Heap().notifications.clear();
}

TEST(BufferedFiles, WrongDirectionSlotsRaiseTheLibraryError) {
  TempDir dir;
  WriteFile(dir / "f", "abc");
  CBUFFEREDREADER reader((dir / "f").c_str());
  CBUFFEREDWRITER writer((dir / "g").c_str());
  CFILE* readerSlots = &reader;
  CFILE* writerSlots = &writer;
  char buffer[4];
  EXPECT_TRUE(RaisesLibraryError([&] { readerSlots->Flush(); }));
  EXPECT_TRUE(RaisesLibraryError([&] { readerSlots->Write("x", 1, nullptr); }));
  EXPECT_TRUE(RaisesLibraryError([&] { writerSlots->Read(buffer, 1, nullptr); }));
  // The right-direction slots dispatch to the buffered versions.
  ASSERT_TRUE(OpenForReading(readerSlots));
  DWORD count = 0;
  EXPECT_TRUE(readerSlots->Read(buffer, 4, &count));
  EXPECT_EQ(count, 3u);
  mvntest::Heap().notifications.clear();
}

TEST(BufferedReader, AFailedReadIsNotTheEndOfTheFile) {
  TempDir dir;
  WriteFile(dir / "f", "line one\r\nline two\r\n");
  // Opened for writing only: every read of the file fails.
  CBUFFEREDREADER failing((dir / "f").c_str());
  ASSERT_TRUE(failing.Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  CTEXT line;
  char c = 0;
  EXPECT_FALSE(failing.ReadLine(&line, 100));
  EXPECT_TRUE(failing.Failed());
  EXPECT_EQ(failing.ReadError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(failing.GetChar(&c));
  char block[4];
  EXPECT_FALSE(failing.Read(block, sizeof block, nullptr));
  EXPECT_TRUE(failing.Failed());
  // Closing forgets the state.
  failing.Close();
  EXPECT_FALSE(failing.Failed());

  // A whole file read to its end is no failure; a NUL in a line is kept.
  WriteFile(dir / "g", "a\0b\r\nc"s);
  CBUFFEREDREADER reader((dir / "g").c_str());
  ASSERT_TRUE(OpenForReading(&reader));
  DWORD length = 0;
  ASSERT_TRUE(reader.ReadLine(&line, 100, &length));
  EXPECT_EQ(std::string(line.Text(), length), "a\0b"s);
  ASSERT_TRUE(reader.ReadLine(&line, 100, &length));
  EXPECT_EQ(length, 1u);
  EXPECT_FALSE(reader.ReadLine(&line, 100, &length));
  EXPECT_FALSE(reader.Failed());
  mvntest::Heap().notifications.clear();
}

TEST(BufferedReader, OpenRegularRefusesWhatIsNoRegularFile) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "plain", dir / "link");
  struct Case {
    std::string path;
    bool opens;
    DWORD error;
  } cases[] = {
      {dir / "plain", true, ERROR_SUCCESS},
      {dir / "link", true, ERROR_SUCCESS},
      {dir / "fifo", false, ERROR_BAD_FILE_TYPE},  // returns at once: no writer needed
      {"/dev/zero", false, ERROR_BAD_FILE_TYPE},
      {dir.str(), false, ERROR_ACCESS_DENIED},
      {dir / "missing", false, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CBUFFEREDREADER reader(c.path.c_str());
    EXPECT_EQ(reader.OpenRegular(FILE_SHARE_READ), c.opens);
    if (!c.opens) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    CPATH path(c.path.c_str());
    EXPECT_EQ(path.IsFile(), c.opens);
  }
}

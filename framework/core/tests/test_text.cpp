// Comma-delimited, DOS and ASCII files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fstream>
#include <unistd.h>

#include "framework/core/filemanager.h"
#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {
LayoutPtr Row() {
  static LayoutPtr l =
      MakeLayout("R", {CStringField("A", 40), StringField("B", 6), LongField("N"), CStringField("C", 4)});
  return l;
}
std::string Show(const Record& r) {
  return "[" + r.Get("A") + "|" + r.Clipped("B") + "|" + r.Get("N") + "|" + r.Get("C") + "]";
}
std::vector<std::string> ReadAll(FileManager& f) {
  std::vector<std::string> rows;
  EXPECT_EQ(f.Set(), NoError);
  while (f.Next() == NoError) rows.push_back(Show(f.Buffer()));
  EXPECT_EQ(ErrorCode(), RecordNotAvailableError);
  return rows;
}
}  // namespace

TEST(CsvFile, ReadsTheFormsPeopleWrite) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {"quoted and bare", "\"a\",b,12,\"c\"\r\n", {"[a|b|12|c]"}},
      {"commas and doubled quotes", "\"x, \"\"y\"\"\",\"q\"\"\",3,\r\n", {"[x, \"y\"|q\"|3|]"}},
      {"blanks outside quotes", "  \"  a  \"  ,  b  , 7 ,c\n", {"[  a  |b|7|c]"}},
      {"text after the closing quote", "\"a\"junk \"x\",\"\"\"\"\"\",1,\"\"\"\"\r\n", {"[a|\"\"|1|\"]"}},
      {"empty fields", ",,,\r\n\"\",\"\",,\"\"\r\n", {"[||0|]", "[||0|]"}},
      {"too few columns", "only\r\n", {"[only||0|]"}},
      {"too many columns", "a,b,1,c,extra,more\r\n", {"[a|b|1|c]"}},
      {"line break in quotes", "\"one\r\ntwo\",b,1,c\r\nnext,,2,\r\n", {"[one\r\ntwo|b|1|c]", "[next||2|]"}},
      {"byte-order mark", "\xEF\xBB\xBF\"a\",,5,\r\n", {"[a||5|]"}},
      {"no final line end", "a,b,1,c", {"[a|b|1|c]"}},
      {"width cut at UTF-8",
       "a,\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9,1,\xE2\x82\xAC\xE2\x82\xAC",
       {"[a|\xC3\xA9\xC3\xA9\xC3\xA9|1|\xE2\x82\xAC]"}},
      {"negative and junk numbers", "a,b,-4,c\r\na,b,x9,c\r\n", {"[a|b|-4|c]", "[a|b|0|c]"}},
  };
  mvntest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mvntest::WriteFile(dir / "in.csv", c.text);
    FileManager f(Driver::Csv, Row(), dir / "in.csv");
    f.SetCreate(false);
    ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
    EXPECT_EQ(ReadAll(f), c.rows);
    EXPECT_EQ(f.Records(), static_cast<int64_t>(c.rows.size()));
  }
}

TEST(CsvFile, WritesQuotedStringsBareNumbersAndRoundTrips) {
  mvntest::TempDir dir;
  FileManager f(Driver::Csv, Row(), dir / "out.csv");
  ASSERT_EQ(f.Create(), NoError);
  ASSERT_EQ(f.Open(), NoError);
  const std::vector<std::vector<std::string>> values = {{"\"a.doc\",\"b.doc\"", "x y", "-12", "q"},
                                                        {"Include:\"x\"Include:\"y\"", "", "0", ""},
                                                        {"line\r\nbreak, comma", "  pad", "7", "\""}};
  for (const auto& v : values) {
    f.Buffer().Clear();
    f.Buffer().Set("A", v[0]);
    f.Buffer().Set("B", v[1]);
    f.Buffer().Set("N", v[2]);
    f.Buffer().Set("C", v[3]);
    ASSERT_EQ(f.Insert(), NoError);
  }
  f.Close();
  EXPECT_EQ(mvntest::ReadFile(dir / "out.csv"),
            "\"\"\"a.doc\"\",\"\"b.doc\"\"\",\"x y\",-12,\"q\"\r\n"
            "\"Include:\"\"x\"\"Include:\"\"y\"\"\",\"\",0,\"\"\r\n"
            "\"line\r\nbreak, comma\",\"  pad\",7,\"\"\"\"\r\n");
  ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"[\"a.doc\",\"b.doc\"|x y|-12|q]", "[Include:\"x\"Include:\"y\"||0|]",
                                                  "[line\r\nbreak, comma|  pad|7|\"]"}));
}

TEST(CsvFile, MissingFileWithoutCreateIsReportedNotCreated) {
  mvntest::TempDir dir;
  FileManager f(Driver::Csv, Row(), dir / "import.csv");
  f.SetCreate(false);
  EXPECT_EQ(f.Open(), FileNotFoundError);
  EXPECT_FALSE(std::filesystem::exists(dir / "import.csv"));
  f.SetCreate(true);
  EXPECT_EQ(f.Open(), NoError);
  EXPECT_TRUE(std::filesystem::exists(dir / "import.csv"));
}

TEST(CsvFile, BufferedAddsReachTheFileOnClose) {
  mvntest::TempDir dir;
  FileManager f(Driver::Csv, Row(), dir / "log.csv");
  ASSERT_EQ(f.Open(), NoError);
  f.BufferAdds(true);
  f.Buffer().Set("A", "one");
  ASSERT_EQ(f.Insert(), NoError);
  EXPECT_EQ(mvntest::ReadFile(dir / "log.csv"), "");
  ASSERT_EQ(f.Close(), NoError);
  EXPECT_EQ(mvntest::ReadFile(dir / "log.csv"), "\"one\",\"\",0,\"\"\r\n");
}

TEST(DosFile, RawBlocksAndExplicitLengths) {
  mvntest::TempDir dir;
  LayoutPtr block = MakeLayout("TMP", {StringField("Block", 8192)});
  std::string data;
  for (int i = 0; i < 20000; ++i) data += static_cast<char>(i * 7 % 256);
  mvntest::WriteFile(dir / "in.bin", data);
  FileManager f(Driver::Dos, block, dir / "in.bin");
  f.SetCreate(false);
  ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  ASSERT_EQ(f.Set(), NoError);
  std::string back;
  std::vector<size_t> sizes;
  while (f.Next() == NoError) {
    sizes.push_back(f.Bytes());
    back += f.Buffer().Get("Block").substr(0, f.Bytes());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{8192, 8192, 3616}));
  EXPECT_EQ(back, data);
  f.Close();

  FileManager out(Driver::Dos, block, dir / "out.bin");
  ASSERT_EQ(out.Create(), NoError);
  ASSERT_EQ(out.Open(), NoError);
  out.Buffer().Set("Block", "hello world");
  ASSERT_EQ(out.Insert(5), NoError);
  ASSERT_EQ(out.Insert(3), NoError);
  // A length past the text takes the field's blanks (trailing blanks of
  // the value too, which the field does not keep), up to the field's size.
  out.Buffer().Set("Block", "ab  ");
  ASSERT_EQ(out.Insert(6), NoError);
  out.Buffer().Set("Block", "z");
  ASSERT_EQ(out.Insert(9000), NoError);
  out.Close();
  EXPECT_EQ(mvntest::ReadFile(dir / "out.bin"), "hellohel" "ab    " "z" + std::string(8191, ' '));
}

TEST(AsciiFile, OneLinePerRecord) {
  mvntest::TempDir dir;
  LayoutPtr line = MakeLayout("L", {StringField("Line", 10)});
  mvntest::WriteFile(dir / "in.txt", "first\r\nsecond line is long\n\nlast");
  FileManager f(Driver::Ascii, line, dir / "in.txt");
  ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  ASSERT_EQ(f.Set(), NoError);
  std::vector<std::string> lines;
  while (f.Next() == NoError) lines.push_back(f.Buffer().Clipped("Line"));
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second lin", "", "last"}));
  f.Close();
  FileManager out(Driver::Ascii, line, dir / "out.txt");
  ASSERT_EQ(out.Create(), NoError);
  ASSERT_EQ(out.Open(), NoError);
  out.Buffer().Set("Line", "a,b");
  ASSERT_EQ(out.Insert(), NoError);
  out.Close();
  EXPECT_EQ(mvntest::ReadFile(dir / "out.txt"), "a,b\r\n");
}

TEST(TextFile, DenyAllHandleOfAnotherProcessGives5) {
  mvntest::TempDir dir;
  std::string path = dir / "spool.tmp";
  mvntest::WriteFile(path, "data\r\n");
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    if (read(done[0], &c, 1) != 1) _exit(1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  LayoutPtr line = MakeLayout("L", {StringField("Line", 100)});
  for (Driver d : {Driver::Ascii, Driver::Dos, Driver::Csv}) {
    FileManager f(d, line, path);
    EXPECT_EQ(f.Open(ReadOnly | DenyNone), AccessDeniedError);
  }
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  FileManager f(Driver::Ascii, line, path);
  EXPECT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(TextFile, FifoIsRefusedWithoutBlocking) {
  mvntest::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe.csv").c_str(), 0600), 0);
  FileManager f(Driver::Csv, Row(), dir / "pipe.csv");
  EXPECT_EQ(f.Open(), AccessDeniedError);
  EXPECT_EQ(f.Create(), AccessDeniedError);
}

// Large files are read through a moving window: records that straddle the
// window's chunks (a quoted line break among them, blank lines before
// them) read whole, positions stay file offsets, and Reget goes back to a
// record long dropped from the window.
TEST(CsvFile, ReadsLargeFilesThroughAWindow) {
  mvntest::TempDir dir;
  std::string text;
  std::vector<std::string> rows;
  for (int i = 0; i < 80000; ++i) {
    std::string a = "row " + std::to_string(i);
    if (i % 997 == 0) {
      text += "\r\n\r\n\"" + a + "\r\nsecond line\",b,7,\"c\"\r\n";
      rows.push_back("[" + a + "\r\nsecond line|b|7|c]");
    } else {
      text += "\"" + a + "\",\"x \"\"q\"\"\"," + std::to_string(i) + ",\r\n";
      rows.push_back("[" + a + "|x \"q\"|" + std::to_string(i) + "|]");
    }
  }
  ASSERT_GT(text.size(), 2u << 20);  // more than the window keeps
  mvntest::WriteFile(dir / "big.csv", text);
  FileManager f(Driver::Csv, Row(), dir / "big.csv");
  f.SetCreate(false);
  ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  EXPECT_EQ(ReadAll(f), rows);
  EXPECT_EQ(f.Records(), 80000);

  ASSERT_EQ(f.Set(), NoError);
  ASSERT_EQ(f.Next(), NoError);
  Position first = f.GetPosition();
  Position later;
  for (int i = 1; i < 50000; ++i) ASSERT_EQ(f.Next(), NoError);
  later = f.GetPosition();
  EXPECT_EQ(Show(f.Buffer()), rows[49999]);
  ASSERT_EQ(f.Reget(first), NoError);
  EXPECT_EQ(Show(f.Buffer()), rows[0]);
  ASSERT_EQ(f.Reset("", later), NoError);
  ASSERT_EQ(f.Next(), NoError);
  EXPECT_EQ(Show(f.Buffer()), rows[49999]);
  ASSERT_EQ(f.Next(), NoError);
  EXPECT_EQ(Show(f.Buffer()), rows[50000]);
}

// Records end at CR as at LF and CR LF, in both line drivers; line breaks
// inside quotes stay in the field; an ASCII line cannot be added with a
// line break in it, since it would read back as two records.
TEST(TextFile, CrLineEndsEndRecords) {
  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "in.csv", "a,b,1,c\r\"two\r\nlines\",b,2,c\r\r\"x\",,3,\rlast,,4,");
  FileManager csv(Driver::Csv, Row(), dir / "in.csv");
  ASSERT_EQ(csv.Open(ReadOnly | DenyNone), NoError);
  EXPECT_EQ(ReadAll(csv), (std::vector<std::string>{"[a|b|1|c]", "[two\r\nlines|b|2|c]", "[x||3|]", "[last||4|]"}));

  LayoutPtr line = MakeLayout("L", {StringField("Line", 10)});
  mvntest::WriteFile(dir / "in.txt", "one\rtwo\r\nthree\n\rfive");
  FileManager ascii(Driver::Ascii, line, dir / "in.txt");
  ASSERT_EQ(ascii.Open(ReadOnly | DenyNone), NoError);
  ASSERT_EQ(ascii.Set(), NoError);
  std::vector<std::string> lines;
  while (ascii.Next() == NoError) lines.push_back(ascii.Buffer().Clipped("Line"));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "", "five"}));
  EXPECT_EQ(ascii.Records(), 5);
  ascii.Close();

  FileManager out(Driver::Ascii, line, dir / "out.txt");
  ASSERT_EQ(out.Create(), NoError);
  ASSERT_EQ(out.Open(), NoError);
  for (const char* broken : {"a\r\nb", "a\rb", "a\nb"}) {
    out.Buffer().Set("Line", broken);
    EXPECT_NE(out.Insert(), NoError) << broken;
  }
  out.Buffer().Set("Line", "whole");
  EXPECT_EQ(out.Insert(), NoError);
  out.Close();
  EXPECT_EQ(mvntest::ReadFile(dir / "out.txt"), "whole\r\n");
}

// A quoted field that the file ends inside is an error naming the line its
// record starts on; the records before it read normally. A stray quote
// inside a bare field opens nothing.
TEST(CsvFile, UnclosedQuoteIsAnErrorNamingItsLine) {
  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "in.csv",
                     "a,b,1,c\r\nin\"side,b,2,c\r\n\r\n\"multi\r\nline\",,3,\r\n\"open,b,4,c\r\nnext,b,5,c\r\nlast,,6,\r\n");
  FileManager f(Driver::Csv, Row(), dir / "in.csv");
  ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
  ASSERT_EQ(f.Set(), NoError);
  std::vector<std::string> rows;
  int rc;
  while ((rc = f.Next()) == NoError) rows.push_back(Show(f.Buffer()));
  EXPECT_EQ(rows, (std::vector<std::string>{"[a|b|1|c]", "[in\"side|b|2|c]", "[multi\r\nline||3|]"}));
  EXPECT_EQ(rc, FileSystemError);
  EXPECT_NE(ErrorText().find("line 6"), std::string::npos) << ErrorText();
  EXPECT_NE(ErrorText().find("not closed"), std::string::npos) << ErrorText();
}

// A record is at most a megabyte: a longer line, or a quote never closed in
// a large file, fails at the bound, and reading it holds no more memory
// than the bound.
TEST(CsvFile, ARecordIsBoundedAndReadingStaysFlat) {
  mvntest::TempDir dir;
  const size_t big = 48u << 20;
  for (const char* opener : {"", "\""}) {
    SCOPED_TRACE(*opener ? "unclosed quote" : "long line");
    {
      // Written in pieces, so the test itself never holds the line.
      std::ofstream out(dir / "big.csv", std::ios::binary);
      out << "first,,1,\r\n" << opener;
      const std::string piece(1u << 20, 'x');
      for (size_t n = 0; n < big; n += piece.size()) out << piece;
      out << "\r\nafter,,2,\r\n";
    }
    struct rusage before;
    getrusage(RUSAGE_SELF, &before);
    FileManager f(Driver::Csv, Row(), dir / "big.csv");
    ASSERT_EQ(f.Open(ReadOnly | DenyNone), NoError);
    ASSERT_EQ(f.Set(), NoError);
    ASSERT_EQ(f.Next(), NoError);
    EXPECT_EQ(f.Buffer().Get("A"), "first");
    EXPECT_EQ(f.Next(), FileSystemError);
    EXPECT_NE(ErrorText().find("line 2"), std::string::npos) << ErrorText();
    EXPECT_NE(ErrorText().find("longer than 1 MB"), std::string::npos) << ErrorText();
    f.Close();
    struct rusage after;
    getrusage(RUSAGE_SELF, &after);
    // ru_maxrss is the peak in kilobytes: reading grew it by far less than
    // the line's size.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024);
  }
}

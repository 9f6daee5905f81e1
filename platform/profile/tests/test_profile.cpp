#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/profile/profile.h"
#include "tests/support/tempdir.h"

namespace {

using mvntest::ReadFile;
using mvntest::WriteFile;

mvntest::TestRoot g_root;

std::string Get(const std::string& file, const char* section, const char* key, const char* def = "<missing>") {
  char buffer[256];
  DWORD n = GetPrivateProfileStringA(section, key, def, buffer, sizeof buffer, file.c_str());
  EXPECT_EQ(n, strlen(buffer));
  return std::string(buffer, n);
}

// A returned list ("a\0b\0\0") as its names.
std::vector<std::string> SplitList(const char* buffer, DWORD count) {
  std::vector<std::string> names;
  for (DWORD i = 0; i < count;) {
    std::string name(buffer + i);
    names.push_back(name);
    i += static_cast<DWORD>(name.size()) + 1;
  }
  return names;
}

std::vector<std::string> Sections(const std::string& file) {
  char buffer[1024];
  DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "", buffer, sizeof buffer, file.c_str());
  return SplitList(buffer, n);
}

std::vector<std::string> Keys(const std::string& file, const char* section) {
  char buffer[1024];
  DWORD n = GetPrivateProfileStringA(section, nullptr, "", buffer, sizeof buffer, file.c_str());
  return SplitList(buffer, n);
}

const char kSample[] =
    "; settings of the test\n"
    "Orphan=before any section\n"
    "[Mail]\n"
    "Server = smtp.example.org  \n"
    "  Port=25\n"
    "Quoted=\"  spaced value  \"\n"
    "Single='x'\n"
    "Mismatched=\"abc'\n"
    "Token=ab#cd;ef==\n"
    "Empty=\n"
    "a line without an equals sign\n"
    "server=second of the same name\n"
    "\tTabbed\t=\ttab value\t\n"
    ";Commented=yes\n"
    "   ; Indented=yes\n"
    "Utf8=Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\n"
    "[ mail ]\n"
    "Server=second section of the same name\n"
    "Extra=only in the second\n"
    "[Other]\n"
    "Key=other\n";

std::string WithLineBreak(std::string text, const std::string& lineBreak) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += lineBreak;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

class ProfileRead : public ::testing::TestWithParam<const char*> {};

TEST_P(ProfileRead, LookupRules) {
  mvntest::TempDir dir;
  const std::string file = dir / "sample.ini";
  WriteFile(file, WithLineBreak(kSample, GetParam()));

  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"Mail", "Server", "smtp.example.org"},     // trimmed, first of two keys
      {"MAIL", "sErVeR", "smtp.example.org"},     // names without case
      {" Mail ", " Server ", "smtp.example.org"},  // caller's names trimmed too
      {"Mail", "Port", "25"},
      {"Mail", "Quoted", "  spaced value  "},  // one pair of quotes goes
      {"Mail", "Single", "x"},
      {"Mail", "Mismatched", "\"abc'"},
      {"Mail", "Token", "ab#cd;ef=="},  // "#", ";" and "=" are data
      {"Mail", "Empty", ""},           // present with an empty value
      {"Mail", "a line without an equals sign", "<missing>"},
      {"Mail", "Tabbed", "tab value"},
      {"Mail", "Commented", "<missing>"},
      {"Mail", ";Commented", "<missing>"},
      {"Mail", "Indented", "<missing>"},
      {"Mail", "Utf8", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5"},
      {"Mail", "Extra", "<missing>"},  // the first section of a name wins
      {"Mail", "Key", "<missing>"},
      {"Mail", "Orphan", "<missing>"},
      {"Other", "Key", "other"},
      {"Nowhere", "Key", "<missing>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Get(file, c.section, c.key), c.expected) << c.section << "/" << c.key;
  }

  EXPECT_EQ(Sections(file), (std::vector<std::string>{"Mail", "Other"}));
  EXPECT_EQ(Keys(file, "mail"), (std::vector<std::string>{"Server", "Port", "Quoted", "Single", "Mismatched",
                                                          "Token", "Empty", "Tabbed", "Utf8"}));
  char buffer[256];
  DWORD n = GetPrivateProfileSectionA("Other", buffer, sizeof buffer, file.c_str());
  EXPECT_EQ(std::string(buffer, n + 1), std::string("Key=other\0", 11));
}

INSTANTIATE_TEST_SUITE_P(LineBreaks, ProfileRead, ::testing::Values("\n", "\r\n"));

TEST(Profile, MissingFileReadsAsEmpty) {
  mvntest::TempDir dir;
  const std::string file = dir / "absent.ini";
  EXPECT_EQ(Get(file, "S", "K", "fallback"), "fallback");
  EXPECT_EQ(Get(file, "S", "K", nullptr), "");
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetPrivateProfileStringA("S", nullptr, "", buffer, sizeof buffer, file.c_str()), 0u);
  EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));
  EXPECT_EQ(GetPrivateProfileSectionA("S", buffer, sizeof buffer, file.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "K", 7, file.c_str()), 7u);
  // Deleting from a missing file succeeds and creates nothing.
  EXPECT_TRUE(WritePrivateProfileStringA("S", "K", nullptr, file.c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("S", nullptr, nullptr, file.c_str()));
  EXPECT_NE(access(file.c_str(), F_OK), 0);
}

TEST(Profile, TruncatedResults) {
  mvntest::TempDir dir;
  const std::string file = dir / "t.ini";
  WriteFile(file, "[alpha]\r\nkey=abcdef\r\nsecond=x\r\nutf=a\xC3\xA9z\r\n[beta]\r\n");

  struct Case {
    const char* section;
    const char* key;
    DWORD size;
    DWORD result;
    std::string buffer;  // the bytes that matter, up to the result's terminators
  } cases[] = {
      {"alpha", "key", 7, 6, std::string("abcdef\0", 7)},   // fits
      {"alpha", "key", 6, 5, std::string("abcde\0", 6)},    // one short: size - 1
      {"alpha", "key", 2, 1, std::string("a\0", 2)},
      {"alpha", "key", 1, 0, std::string("\0", 1)},
      {"alpha", "utf", 3, 2, std::string("a\0\0", 3)},       // no half of the two-byte letter
      {"alpha", "utf", 4, 3, std::string("a\xC3\xA9\0", 4)},
      {"alpha", nullptr, 16, 15, std::string("key\0second\0utf\0\0", 16)},  // 15 bytes and the final NUL
      {"alpha", nullptr, 15, 13, std::string("key\0second\0ut\0\0", 15)},   // lists: size - 2
      {"alpha", nullptr, 12, 10, std::string("key\0second\0\0", 12)},
      {"alpha", nullptr, 8, 6, std::string("key\0se\0\0", 8)},
      {nullptr, nullptr, 12, 11, std::string("alpha\0beta\0\0", 12)},
      {nullptr, nullptr, 11, 9, std::string("alpha\0bet\0\0", 11)},
  };
  for (const Case& c : cases) {
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    DWORD n = GetPrivateProfileStringA(c.section, c.key, "", buffer, c.size, file.c_str());
    EXPECT_EQ(n, c.result) << (c.key ? c.key : "(list)") << " size " << c.size;
    EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer) << (c.key ? c.key : "(list)") << " size " << c.size;
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer";
  }

  char buffer[12];
  EXPECT_EQ(GetPrivateProfileSectionA("alpha", buffer, sizeof buffer, file.c_str()), 10u);
  EXPECT_EQ(std::string(buffer, 12), std::string("key=abcdef\0\0", 12));
}

// The callers' loop: double the buffer while the result says it was cut.
std::vector<std::string> ReadGrowing(const std::function<DWORD(char*, DWORD)>& read, int* rounds) {
  std::vector<char> buffer(1024);
  DWORD n;
  *rounds = 0;
  while ((n = read(buffer.data(), static_cast<DWORD>(buffer.size()))) >= buffer.size() - 2) {
    buffer.resize(buffer.size() * 2);
    ++*rounds;
  }
  return SplitList(buffer.data(), n);
}

TEST(Profile, LongListsGrowTheCallersBuffer) {
  mvntest::TempDir dir;
  const std::string file = dir / "many.ini";
  std::string text = "[Big]\r\n";
  for (int i = 0; i < 2000; ++i) text += "Key" + std::to_string(i) + "=value " + std::to_string(i) + "\r\n";
  WriteFile(file, text);

  int rounds = 0;
  std::vector<std::string> keys = ReadGrowing(
      [&](char* b, DWORD s) { return GetPrivateProfileStringA("Big", nullptr, "", b, s, file.c_str()); }, &rounds);
  EXPECT_GE(rounds, 4);
  ASSERT_EQ(keys.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(keys[i], "Key" + std::to_string(i));

  std::vector<std::string> entries = ReadGrowing(
      [&](char* b, DWORD s) { return GetPrivateProfileSectionA("Big", b, s, file.c_str()); }, &rounds);
  ASSERT_EQ(entries.size(), 2000u);
  EXPECT_EQ(entries[1999], "Key1999=value 1999");
}

const char kOriginal[] =
    "; header comment\r\n"
    "[Mail]\r\n"
    "  Server = old.example.org   ; not a comment\r\n"
    "Port=25\r\n"
    "stray text\r\n"
    "\r\n"
    "; about the next section\r\n"
    "[Files]\r\n"
    "Path=C:\\FAX\r\n"
    "Path=duplicate\r\n";

TEST(Profile, WritesKeepOtherLinesByteForByte) {
  struct Case {
    const char* what;
    const char* section;
    const char* key;
    const char* value;
    std::string expected;
  } cases[] = {
      {"update in place", "mail", "SERVER", "new.example.org",
       "; header comment\r\n[Mail]\r\n  Server = new.example.org\r\nPort=25\r\nstray text\r\n\r\n"
       "; about the next section\r\n[Files]\r\nPath=C:\\FAX\r\nPath=duplicate\r\n"},
      {"new key after the last key line", "Mail", "Retry", "3",
       "; header comment\r\n[Mail]\r\n  Server = old.example.org   ; not a comment\r\nPort=25\r\nRetry=3\r\n"
       "stray text\r\n\r\n; about the next section\r\n[Files]\r\nPath=C:\\FAX\r\nPath=duplicate\r\n"},
      {"new key in the last section", "FILES", "Temp", "/tmp",
       std::string(kOriginal) + "Temp=/tmp\r\n"},
      {"new section at the end", "New", "Key", "v", std::string(kOriginal) + "\r\n[New]\r\nKey=v\r\n"},
      {"empty value", "Mail", "Port", "", std::string(kOriginal).replace(std::string(kOriginal).find("25"), 2, "")},
      {"delete key", "Mail", "port", nullptr,
       "; header comment\r\n[Mail]\r\n  Server = old.example.org   ; not a comment\r\nstray text\r\n\r\n"
       "; about the next section\r\n[Files]\r\nPath=C:\\FAX\r\nPath=duplicate\r\n"},
      {"delete key and its duplicate", "Files", "Path", nullptr,
       "; header comment\r\n[Mail]\r\n  Server = old.example.org   ; not a comment\r\nPort=25\r\nstray text\r\n"
       "\r\n; about the next section\r\n[Files]\r\n"},
      {"delete section", "MAIL", nullptr, nullptr,
       "; header comment\r\n[Files]\r\nPath=C:\\FAX\r\nPath=duplicate\r\n"},
      {"delete missing key", "Mail", "Nope", nullptr, kOriginal},
      {"same value again", "Mail", "Port", "25", kOriginal},
  };
  for (const Case& c : cases) {
    mvntest::TempDir dir;
    const std::string file = dir / "edit.ini";
    WriteFile(file, kOriginal);
    EXPECT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, file.c_str())) << c.what;
    EXPECT_EQ(ReadFile(file), c.expected) << c.what;
  }
}

TEST(Profile, LineEndingStyleOfTheFile) {
  mvntest::TempDir dir;
  const std::string lf = dir / "lf.ini";
  WriteFile(lf, "[A]\nx=1\n");
  ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", lf.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("B", "z", "3", lf.c_str()));
  EXPECT_EQ(ReadFile(lf), "[A]\nx=1\ny=2\n\n[B]\nz=3\n");

  const std::string fresh = dir / "new.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("A", "x", "1", fresh.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", fresh.c_str()));
  EXPECT_EQ(ReadFile(fresh), "[A]\r\nx=1\r\ny=2\r\n");

  // A last line without a line break gets one before anything follows it.
  const std::string open = dir / "open.ini";
  WriteFile(open, "[A]\r\nx=1");
  ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", open.c_str()));
  EXPECT_EQ(ReadFile(open), "[A]\r\nx=1\r\ny=2\r\n");
}

TEST(Profile, WriteIsSeenAtOnceKeepsModeAndLeavesNoTemporaryFile) {
  mvntest::TempDir dir;
  const std::string file = dir / "mode.ini";
  WriteFile(file, "[S]\r\nK=1\r\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  for (int i = 0; i < 20; ++i) {
    const std::string value = std::to_string(i);
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", value.c_str(), file.c_str()));
    ASSERT_EQ(Get(file, "S", "K"), value);
  }
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  std::vector<std::string> names;
  DIR* d = opendir(dir.str().c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))) names.push_back(e->d_name);
  }
  closedir(d);
  EXPECT_EQ(names, std::vector<std::string>{"mode.ini"});
}

TEST(Profile, WriteThroughSymbolicLinkKeepsTheLink) {
  mvntest::TempDir dir;
  const std::string target = dir / "real.ini";
  const std::string link = dir / "link.ini";
  WriteFile(target, "[S]\r\nK=1\r\n");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "2", link.c_str()));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "[S]\r\nK=2\r\n");
}

TEST(Profile, RefusesTextThatWouldBreakTheFile) {
  mvntest::TempDir dir;
  const std::string file = dir / "safe.ini";
  WriteFile(file, "[S]\r\nK=1\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"S", "K", "1\r\n[Injected]\r\nX=1"}, {"S", "K", "line\nbreak"}, {"S\n[T]", "K", "v"},
      {"S", "a=b", "v"},  {"S", "", "v"},  {"S", "  ", "v"},
      {"S", ";K", "v"},   {"S", "[K]", "v"}, {"S", "K\r", "v"},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, file.c_str())) << c.key;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.key;
  }
  EXPECT_EQ(ReadFile(file), "[S]\r\nK=1\r\n");
}

TEST(Profile, BareFileNameLivesInTheWindowsDirectory) {
  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  ASSERT_TRUE(WritePrivateProfileStringA("Sect", "Key", "value", "bare-name-test.ini"));
  const std::string path = std::string(windows) + "/bare-name-test.ini";
  EXPECT_EQ(ReadFile(path), "[Sect]\r\nKey=value\r\n");
  EXPECT_EQ(Get("bare-name-test.ini", "Sect", "Key"), "value");
  unlink(path.c_str());
}

TEST(Profile, Numbers) {
  mvntest::TempDir dir;
  const std::string file = dir / "n.ini";
  WriteFile(file, "[N]\nplain=42\nneg=-5\nhex=0x1F\nlead=12abc\nword=abc\nempty=\nplus=+7\n");
  struct Case {
    const char* key;
    UINT expected;
  } cases[] = {{"plain", 42}, {"neg", static_cast<UINT>(-5)}, {"hex", 31}, {"lead", 12},
               {"word", 0},   {"empty", 99},                {"missing", 99}, {"plus", 7}};
  for (const Case& c : cases) EXPECT_EQ(GetPrivateProfileIntA("N", c.key, 99, file.c_str()), c.expected) << c.key;
}

TEST(Profile, StructRoundTripAndChecks) {
  mvntest::TempDir dir;
  const std::string file = dir / "s.ini";
  const unsigned char bytes[] = {0x01, 0xAB, 0xFF};
  ASSERT_TRUE(WritePrivateProfileStructA("Bin", "Data", const_cast<unsigned char*>(bytes), 3, file.c_str()));
  // The bytes in hex, then their sum mod 256 (0x1AB -> AB).
  EXPECT_EQ(Get(file, "Bin", "Data"), "01ABFFAB");

  unsigned char back[3] = {};
  ASSERT_TRUE(GetPrivateProfileStructA("Bin", "Data", back, 3, file.c_str()));
  EXPECT_EQ(memcmp(back, bytes, 3), 0);

  struct Case {
    const char* stored;
    UINT size;
    DWORD error;
  } failures[] = {
      {"01ABFFAC", 3, ERROR_INVALID_DATA},    // checksum off by one
      {"01ABFFAB", 2, ERROR_INVALID_DATA},    // another size
      {"01ABFFAB", 4, ERROR_INVALID_DATA},
      {"01ABFGAB", 3, ERROR_INVALID_DATA},    // no hex
      {nullptr, 3, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : failures) {
    ASSERT_TRUE(WritePrivateProfileStringA("Bin", "Data", c.stored, file.c_str()));
    unsigned char out[4] = {9, 9, 9, 9};
    SetLastError(0);
    EXPECT_FALSE(GetPrivateProfileStructA("Bin", "Data", out, c.size, file.c_str())) << (c.stored ? c.stored : "");
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(out[0], 9) << "failed read changed the buffer";
  }

  // lower-case hex (written by hand) reads too; empty struct is just a checksum
  ASSERT_TRUE(WritePrivateProfileStringA("Bin", "Data", "01abffab", file.c_str()));
  EXPECT_TRUE(GetPrivateProfileStructA("Bin", "Data", back, 3, file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStructA("Bin", "None", back, 0, file.c_str()));
  EXPECT_EQ(Get(file, "Bin", "None"), "00");
  EXPECT_TRUE(GetPrivateProfileStructA("Bin", "None", back, 0, file.c_str()));
}

// Writers in several processes at once lose nothing, and a reader never
// sees a file that is half written.
TEST(Profile, ConcurrentProcessesLoseNoKeys) {
  mvntest::TempDir dir;
  const std::string file = dir / "shared.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("Fixed", "Sentinel", "here", file.c_str()));
  constexpr int kWriters = 4;
  constexpr int kKeys = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
        if (!WritePrivateProfileStringA(k % 2 ? "Odd" : "Even", key.c_str(), key.c_str(), file.c_str())) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    for (int i = 0; i < 300; ++i) {
      char buffer[16];
      GetPrivateProfileStringA("Fixed", "Sentinel", "", buffer, sizeof buffer, file.c_str());
      if (strcmp(buffer, "here") != 0) _exit(2);
    }
    _exit(0);
  }
  children.push_back(reader);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  EXPECT_EQ(Keys(file, "Even").size() + Keys(file, "Odd").size(), 0u + kWriters * kKeys);
  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kKeys; ++k) {
      const std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
      char buffer[64];
      GetPrivateProfileStringA(k % 2 ? "Odd" : "Even", key.c_str(), "", buffer, sizeof buffer, file.c_str());
      EXPECT_EQ(buffer, key);
    }
  }
}

}  // namespace

// Irregular line ends and NUL bytes: what a write reports is what the next
// read returns, and no entry appears that was never written.
TEST(Profile, IrregularLineEndsAndNulWriteThenRead) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string text;
    const char* section;  // written: section, key, value
    const char* key;
    const char* value;
    std::vector<std::pair<std::string, std::string>> expect;  // "S/K" -> value
  } cases[] = {
      {"last line ends in a bare CR", "[S]\r\nA=1\r"s, "S", "B", "2", {{"S/A", "1"}, {"S/B", "2"}}},
      {"trailing bare CR line, new section", "[S]\nA=1\n\r"s, "T", "B", "2", {{"S/A", "1"}, {"T/B", "2"}}},
      {"a file of CR line ends", "[S]\rA=1\rC=3\r"s, "S", "B", "2", {{"S/A", "1"}, {"S/C", "3"}, {"S/B", "2"}}},
      {"a value holding NUL", "[S]\r\nA=1\0B=2\r\n"s, "S", "C", "3",
       {{"S/A", "1"}, {"S/B", "<missing>"}, {"S/C", "3"}}},
      {"a value starting with NUL", "[S]\r\nA=\0x\r\n"s, "S", "C", "3", {{"S/A", ""}, {"S/C", "3"}}},
      {"a comment after the section name", "[S] ; note [x]\r\nA=1\r\n"s, "S", "B", "2",
       {{"S/A", "1"}, {"S/B", "2"}}},
  };
  mvntest::TempDir dir;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir / ("case" + std::to_string(index++) + ".ini");
    WriteFile(file, c.text);
    ASSERT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, file.c_str()));
    for (const auto& [where, value] : c.expect) {
      std::string section = where.substr(0, where.find('/'));
      std::string key = where.substr(where.find('/') + 1);
      EXPECT_EQ(Get(file, section.c_str(), key.c_str()), value) << where;
    }
    // No phantom key from the text after a NUL.
    for (const std::string& key : Keys(file, "S")) EXPECT_NE(key, "B=2");
  }
  // The section closed at its first "]" is the section S.
  const std::string named = dir / "named.ini";
  WriteFile(named, "[S] ; note [x]\r\nA=1\r\n");
  EXPECT_EQ(Sections(named), std::vector<std::string>{"S"});
}

TEST(Profile, NonRegularFilesReadAsMissingAndAreNeverReplaced) {
  mvntest::TempDir dir;
  const std::string fifo = dir / "fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Returns at once although no one writes to the FIFO.
  EXPECT_EQ(Get(fifo, "S", "A"), "<missing>");
  EXPECT_EQ(Get("/dev/zero", "S", "A"), "<missing>");
  EXPECT_FALSE(WritePrivateProfileStringA("S", "A", "1", fifo.c_str()));
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A writer killed between creating its temporary and renaming it leaves
// ".<name>.<pid>.<n>.tmp"; the next write removes it because that pid is
// gone. Temporaries of a live process, other files of that pattern and
// names that are not regular files stay. The killed writer is a child that
// makes its temporary under the writers' own name and stops itself; the
// test kills it with SIGKILL at that point.
TEST(Profile, NextWriteRemovesTemporariesOfKilledWriters) {
  mvntest::TempDir dir;
  const std::string ini = dir / "dashpost.INI";
  WriteFile(ini, "[S]\r\nK=1\r\n");
  auto stopped = [](pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
      pid_t r = waitpid(pid, &status, WUNTRACED | WNOHANG);
      if (r == pid) return WIFSTOPPED(status);
      usleep(10000);
    }
    return false;
  };
  auto writer = [&](bool stay) {
    pid_t child = fork();
    if (child == 0) {
      WriteFile(dir / (".dashpost.INI." + std::to_string(getpid()) + ".0.tmp"), std::string(100000, 'x'));
      raise(SIGSTOP);
      _exit(stay ? 0 : 1);
    }
    return child;
  };
  pid_t killed = writer(false), alive = writer(true);
  ASSERT_TRUE(stopped(killed));
  ASSERT_TRUE(stopped(alive));
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  auto reaped = [](pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
      if (waitpid(pid, &status, WNOHANG) == pid) return true;
      usleep(10000);
    }
    return false;
  };
  ASSERT_TRUE(reaped(killed));
  const std::string stale = dir / (".dashpost.INI." + std::to_string(killed) + ".0.tmp");
  const std::string live = dir / (".dashpost.INI." + std::to_string(alive) + ".0.tmp");
  ASSERT_EQ(mkdir((dir / (".dashpost.INI.999999999.0.tmp")).c_str(), 0700), 0);
  WriteFile(dir / ".other.INI.999999999.0.tmp", "x");
  ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "2", ini.c_str()));
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live));
  EXPECT_TRUE(std::filesystem::is_directory(dir / ".dashpost.INI.999999999.0.tmp"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".other.INI.999999999.0.tmp"));
  EXPECT_EQ(ReadFile(ini), "[S]\r\nK=2\r\n");
  kill(alive, SIGKILL);
  EXPECT_TRUE(reaped(alive));
}

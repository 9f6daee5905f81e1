// Paths, files and directory scans on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/pathfile.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace fs = std::filesystem;
using mvntest::Heap;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

// The first insert of every notification raised since the last call.
std::vector<std::string> TakeReports() {
  std::vector<std::string> reports;
  for (const auto& n : Heap().notifications) reports.push_back(n.p1);
  Heap().notifications.clear();
  return reports;
}

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsLibraryException(const SystemException& e) { return e.Code() == LIBRARY_EXCEPTION_CODE; }

}  // namespace

TEST(PathNames, NamePartsExtensionsAndAbsoluteness) {
  struct Case {
    const char* path;
    const char* name;
    const char* extension;  // nullptr: none
    bool absolute;
  } cases[] = {
      {"C:\\x\\y.txt", "y.txt", "txt", true},
      {"/x/y.txt", "y.txt", "txt", true},
      {"\\x", "x", nullptr, true},
      {"c:/x", "x", nullptr, true},
      // ":" is part of a name here, not a drive separator.
      {"C:x", "C:x", nullptr, false},
      {"x", "x", nullptr, false},
      {"C:", "C:", nullptr, false},
      {"/in/fax:1.txt", "fax:1.txt", "txt", true},
      {"", "", nullptr, false},
      {"/a.b/c", "c", nullptr, true},
      {"dir/a.b.c", "a.b.c", "c", false},
  };
  for (const Case& c : cases) {
    CPATH path(c.path);
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(path.GetName(), c.name);
    if (c.extension)
      EXPECT_STREQ(path.GetExtension(), c.extension);
    else
      EXPECT_EQ(path.GetExtension(), nullptr);
    EXPECT_EQ(path.IsAbsolute(), c.absolute);
    EXPECT_EQ(path.IsRelative(), !c.absolute);
  }
}

TEST(PathNames, SetExtensionSetNameAndCut) {
  struct Case {
    const char* path;
    const char* extension;
    const char* result;
  } extensions[] = {
      {"C:\\x\\report.txt", ".TMP", "C:\\x\\report.TMP"},
      {"C:\\x\\README", ".TMP", "C:\\x\\README.TMP"},
      {"C:\\x\\a.b.c", nullptr, "C:\\x\\a.b"},
      {"/x.d/report", "ini", "/x.d/report.ini"},
      {"/x.d/report", nullptr, "/x.d/report"},
  };
  for (const auto& c : extensions) {
    CPATH path(c.path);
    path.SetExtension(c.extension);
    EXPECT_STREQ(path.GetPath(), c.result) << c.path;
  }
  CPATH path("/x/report.txt");
  EXPECT_STREQ(path.SetExtension(".TMP"), "TMP");

  struct NameCase {
    const char* path;
    const char* name;
    const char* result;
  } names[] = {
      {"/a/b.txt", "c.ini", "/a/c.ini"},
      {"/a/b.txt", nullptr, "/a"},
      {"C:\\a\\b", "z", "C:\\a\\z"},
      {"b.txt", nullptr, ""},
      {"b.txt", "c", "c"},
  };
  for (const auto& c : names) {
    CPATH p(c.path);
    p.SetName(c.name);
    EXPECT_STREQ(p.GetPath(), c.result) << c.path;
  }
  // A name taken from the path itself.
  CPATH self("/a/b.txt");
  self.SetName(self.GetName());
  EXPECT_STREQ(self.GetPath(), "/a/b.txt");

  CPATH cut("a/b\\c");
  EXPECT_TRUE(cut.CutLastPart());
  EXPECT_STREQ(cut.GetPath(), "a/b");
  EXPECT_TRUE(cut.CutLastPart());
  EXPECT_STREQ(cut.GetPath(), "a");
  EXPECT_FALSE(cut.CutLastPart());
  EXPECT_STREQ(cut.GetPath(), "a");

  CPATH joined;
  joined.SetDirAndName("/d", "n.txt");
  EXPECT_STREQ(joined.GetPath(), "/d/n.txt");
  joined.SetDirAndName(joined.GetPath(), "x");
  EXPECT_STREQ(joined.GetPath(), "/d/n.txt/x");
}

TEST(PathDirectories, CreateDirectoryMakesMissingParents) {
  TempDir dir;
  Heap().notifications.clear();
  CPATH path((dir / "a/b/c").c_str());
  EXPECT_TRUE(path.CreateDirectory());
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(path.CreateDirectory());  // exists already
  EXPECT_TRUE(path.IsDirectory());
  EXPECT_FALSE(path.IsFile());

  // A trailing separator: the parent cut off is the directory itself.
  CPATH trailing((dir / "x/y/").c_str());
  EXPECT_TRUE(trailing.CreateDirectory());
  EXPECT_TRUE(fs::is_directory(dir / "x/y"));
  EXPECT_TRUE(CPATH((dir / "p\\q\\").c_str()).CreateDirectory());
  EXPECT_TRUE(fs::is_directory(dir / "p/q"));
  EXPECT_TRUE(TakeReports().empty());

  CPATH empty;
  EXPECT_FALSE(empty.CreateDirectory());
  EXPECT_TRUE(TakeReports().empty());

  EXPECT_TRUE(path.RemoveDirectory());
  EXPECT_FALSE(fs::exists(dir / "a/b/c"));
  EXPECT_FALSE(path.RemoveDirectory());
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::RemoveDirectory"});
}

TEST(PathDirectories, CreateDirectoryUnderAFileFails) {
  TempDir dir;
  WriteFile(dir / "f", "data");
  Heap().notifications.clear();
  CPATH under((dir / "f/sub").c_str());
  EXPECT_FALSE(under.CreateDirectory());
  ASSERT_EQ(Heap().notifications.size(), 1u);
  EXPECT_EQ(Heap().notifications[0].id, NOTIFY_WIN32ERROR);
  EXPECT_EQ(Heap().notifications[0].p1, "CPATH::CreateDirectory");
  EXPECT_EQ(Heap().notifications[0].p2, dir / "f/sub");
  Heap().notifications.clear();

  CPATH deeper((dir / "f/sub/deeper").c_str());
  EXPECT_FALSE(deeper.CreateDirectory());
  std::vector<std::string> reports = TakeReports();
  ASSERT_FALSE(reports.empty());
  for (const auto& r : reports) EXPECT_EQ(r, "CPATH::CreateDirectory");
  EXPECT_EQ(ReadFile(dir / "f"), "data");
}

TEST(PathFiles, DeleteTempNamesAndQueries) {
  TempDir dir;
  Heap().notifications.clear();

  CPATH temp;
  ASSERT_TRUE(temp.SetTempFileName(dir.str().c_str()));
  EXPECT_EQ(fs::path(temp.GetPath()).parent_path(), dir.path());
  EXPECT_EQ(std::string(temp.GetName()).substr(0, 3), "MVN");
  EXPECT_TRUE(temp.IsFile());
  EXPECT_EQ(fs::file_size(temp.GetPath()), 0u);
  CPATH second;
  ASSERT_TRUE(second.SetTempFileName(dir.str().c_str()));
  EXPECT_STRNE(second.GetPath(), temp.GetPath());

  EXPECT_TRUE(temp.DeleteFile());
  EXPECT_FALSE(fs::exists(temp.GetPath()));
  EXPECT_FALSE(temp.DeleteFile());
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::DeleteFile"});

  CPATH nowhere("x");
  EXPECT_FALSE(nowhere.SetTempFileName((dir / "missing").c_str()));
  EXPECT_STREQ(nowhere.GetPath(), "");

  CPATH inTemp;
  ASSERT_TRUE(inTemp.SetTempFileName(nullptr));
  CPATH tempDir;
  ASSERT_TRUE(tempDir.SetTempDirectory());
  EXPECT_NE(tempDir.GetPath()[tempDir.Length() - 1], '/');
  EXPECT_TRUE(tempDir.IsDirectory());
  EXPECT_EQ(fs::path(inTemp.GetPath()).parent_path(), fs::path(tempDir.GetPath()));
  EXPECT_TRUE(inTemp.DeleteFile());

  WriteFile(dir / "tool.cfg", "x");
  CPATH found("tool.cfg");
  ASSERT_TRUE(found.SearchPath(dir.str().c_str()));
  EXPECT_EQ(fs::path(found.GetPath()), dir.path() / "tool.cfg");
  CPATH missing("no-such-file.cfg");
  EXPECT_FALSE(missing.SearchPath(dir.str().c_str()));
  EXPECT_STREQ(missing.GetPath(), "no-such-file.cfg");
  TakeReports();

  CPATH saved;
  ASSERT_TRUE(saved.GetCurrentDirectory());
  CPATH there(dir.str().c_str());
  ASSERT_TRUE(there.SetCurrentDirectory());
  CPATH relative("sub/../tool.cfg");
  EXPECT_TRUE(relative.GetFullPathName());
  EXPECT_EQ(fs::path(relative.GetPath()), fs::canonical(dir.path()) / "tool.cfg");
  CPATH current;
  EXPECT_TRUE(current.GetCurrentDirectory());
  EXPECT_EQ(fs::path(current.GetPath()), fs::canonical(dir.path()));
  ASSERT_TRUE(saved.SetCurrentDirectory());

  CPATH empty;
  EXPECT_FALSE(empty.SetCurrentDirectory());
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::SetCurrentDirectory"});
  EXPECT_FALSE(empty.GetFullPathName());
  EXPECT_FALSE(empty.DeleteFile());
  EXPECT_FALSE(empty.IsFile());
  EXPECT_TRUE(TakeReports().empty());
}

TEST(PathMove, MoveToUniqueIntoAFreeName) {
  TempDir dir;
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "work");
  WriteFile(dir / "in/job.txt", "job");
  CPATH path((dir / "in/job.txt").c_str());
  ASSERT_TRUE(path.MoveToUnique((dir / "work").c_str()));
  EXPECT_EQ(path.GetPath(), dir / "work/job.txt");
  EXPECT_EQ(ReadFile(dir / "work/job.txt"), "job");
  EXPECT_FALSE(fs::exists(dir / "in/job.txt"));
}

TEST(PathMove, MoveToUniqueKeepsTheFileAlreadyThere) {
  TempDir dir;
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "work");
  WriteFile(dir / "in/job.txt", "new");
  WriteFile(dir / "work/job.txt", "old");
  CPATH path((dir / "in/job.txt").c_str());
  ASSERT_TRUE(path.MoveToUnique((dir / "work").c_str()));
  EXPECT_EQ(fs::path(path.GetPath()).parent_path(), fs::path(dir / "work"));
  EXPECT_EQ(std::string(path.GetName()).substr(0, 3), "MVN");
  EXPECT_EQ(ReadFile(path.GetPath()), "new");
  EXPECT_EQ(ReadFile(dir / "work/job.txt"), "old");
  EXPECT_EQ(Names(dir / "work").size(), 2u);
  EXPECT_TRUE(fs::is_empty(dir / "in"));
}

TEST(PathMove, FailedMovesLoseNothing) {
  TempDir dir;
  fs::create_directories(dir / "work");
  WriteFile(dir / "work/job.txt", "old");
  Heap().notifications.clear();

  // The source is gone: the temporary name made for the collision goes too.
  CPATH gone((dir / "job.txt").c_str());
  EXPECT_FALSE(gone.MoveToUnique((dir / "work").c_str()));
  EXPECT_EQ(gone.GetPath(), dir / "job.txt");
  EXPECT_EQ(Names(dir / "work"), std::vector<std::string>{"job.txt"});
  EXPECT_EQ(ReadFile(dir / "work/job.txt"), "old");
  ASSERT_EQ(Heap().notifications.size(), 1u);
  EXPECT_EQ(Heap().notifications[0].p1, "CPATH::MoveToUnique");
  EXPECT_EQ(Heap().notifications[0].p2, "MoveFileEx");
  Heap().notifications.clear();

  // The directory does not exist: the source stays where it is.
  WriteFile(dir / "keep.txt", "keep");
  CPATH keep((dir / "keep.txt").c_str());
  EXPECT_FALSE(keep.MoveToUnique((dir / "missing").c_str()));
  EXPECT_EQ(keep.GetPath(), dir / "keep.txt");
  EXPECT_EQ(ReadFile(dir / "keep.txt"), "keep");
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::MoveToUnique"});

  CPATH empty;
  EXPECT_FALSE(empty.MoveToUnique((dir / "work").c_str()));
  EXPECT_TRUE(TakeReports().empty());
}

TEST(PathMove, NoUniqueNameMeansNoMove) {
  if (geteuid() == 0) GTEST_SKIP() << "a read-only directory does not stop root";
  TempDir dir;
  fs::create_directories(dir / "work");
  WriteFile(dir / "work/job.txt", "old");
  WriteFile(dir / "job.txt", "new");
  chmod((dir / "work").c_str(), 0555);
  CPATH path((dir / "job.txt").c_str());
  EXPECT_FALSE(path.MoveToUnique((dir / "work").c_str()));
  chmod((dir / "work").c_str(), 0755);
  EXPECT_EQ(ReadFile(dir / "job.txt"), "new");
  EXPECT_EQ(ReadFile(dir / "work/job.txt"), "old");
  EXPECT_EQ(Names(dir / "work"), std::vector<std::string>{"job.txt"});
  Heap().notifications.clear();
}

// The same without relying on permissions (which do not stop root): in a
// directory whose path leaves no room for a temporary name within MAX_PATH,
// the name taken cannot be replaced by a unique one.
TEST(PathMove, NoRoomForAUniqueNameMeansNoMove) {
  TempDir dir;
  std::string work = dir / std::string(200, 'w');
  const std::size_t fill = 252 - work.size() - 1;
  work.append(1, '/').append(fill, 'x');
  ASSERT_EQ(work.size(), 252u);
  fs::create_directories(work);
  WriteFile(work + "/job.txt", "old");
  WriteFile(dir / "job.txt", "new");
  CPATH path((dir / "job.txt").c_str());
  EXPECT_FALSE(path.MoveToUnique(work.c_str()));
  EXPECT_EQ(path.GetPath(), dir / "job.txt");
  EXPECT_EQ(ReadFile(dir / "job.txt"), "new");
  EXPECT_EQ(ReadFile(work + "/job.txt"), "old");
  EXPECT_EQ(Names(work), std::vector<std::string>{"job.txt"});
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::MoveToUnique"});
}

TEST(PathMove, MoveFileWithFallbackReplaces) {
  TempDir dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_TRUE(MoveFileWithFallback((dir / "a").c_str(), (dir / "b").c_str()));
  EXPECT_EQ(ReadFile(dir / "b"), "A");
  EXPECT_FALSE(fs::exists(dir / "a"));
  EXPECT_FALSE(MoveFileWithFallback((dir / "a").c_str(), (dir / "b").c_str()));
  EXPECT_EQ(ReadFile(dir / "b"), "A");
}

TEST(FileObject, SizesBeyondFourGigabytes) {
  TempDir dir;
  const ULONGLONG big = 5'000'000'000ull;
  CFILE file((dir / "big").c_str());
  ASSERT_TRUE(file.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(file.SetSize(big));  // sparse
  EXPECT_EQ(file.GetSize(), big);
  EXPECT_EQ(file.SetPos(FILE_BEGIN, (1ll << 32) + 5), (1ull << 32) + 5);
  EXPECT_EQ(file.SetPos(FILE_CURRENT, 0), (1ull << 32) + 5);
  EXPECT_EQ(file.SetPos(FILE_END, -1), big - 1);
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.GetSize(), big);  // of the named file
  EXPECT_EQ(fs::file_size(dir / "big"), big);

  ASSERT_TRUE(file.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.SetSize(0));  // truncates
  EXPECT_EQ(file.GetSize(), 0u);
  file.Close();
  EXPECT_EQ(fs::file_size(dir / "big"), 0u);

  CFILE missing((dir / "missing").c_str());
  EXPECT_EQ(missing.GetSize(), 0u);
  EXPECT_EQ(missing.SetPos(FILE_BEGIN, 10), 0u);
  EXPECT_FALSE(missing.SetSize(10));
  EXPECT_FALSE(missing.Flush());
  CFILE unnamed;
  EXPECT_EQ(unnamed.GetSize(), 0u);
}

TEST(FileObject, ReadsWritesAndOpens) {
  TempDir dir;
  Heap().notifications.clear();
  CFILE file((dir / "data").c_str());
  char buffer[16] = {};
  DWORD count = 99;
  EXPECT_FALSE(file.Read(buffer, 4, &count));
  EXPECT_FALSE(file.Write("x", 1, nullptr));

  EXPECT_FALSE(file.Open(GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), nullptr);
  EXPECT_TRUE(Heap().notifications.empty());

  ASSERT_TRUE(file.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  EXPECT_TRUE(file.Write("0123456789abcdefghij", 20, nullptr));
  EXPECT_TRUE(file.Write("KL", 2, &count));
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(file.Flush());

  EXPECT_EQ(file.SetPos(FILE_END, -4), 18u);
  EXPECT_FALSE(file.Read(buffer, 10, nullptr));  // only 4 left
  EXPECT_EQ(file.SetPos(FILE_END, -4), 18u);
  EXPECT_TRUE(file.Read(buffer, 10, &count));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buffer, 4), "ijKL");
  EXPECT_TRUE(file.Read(buffer, 10, &count));  // at the end
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(file.SetPos(FILE_BEGIN, 0), 0u);
  EXPECT_TRUE(file.Read(buffer, 10, nullptr));
  EXPECT_EQ(std::string(buffer, 10), "0123456789");

  // A position before the start fails and is reported.
  EXPECT_EQ(file.SetPos(FILE_BEGIN, -1), INVALID_FILE_POSITION);
  EXPECT_EQ(TakeReports(), std::vector<std::string>{"CPATH::SetPos"});

  try {
    file.Open(GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ADD_FAILURE() << "a second Open must raise the library error";
  } catch (const SystemException& e) {
    EXPECT_TRUE(IsLibraryException(e));
  }
  EXPECT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(file.Close());
  Heap().notifications.clear();
}

TEST(FindFile, ListsPlainFilesOnly) {
  TempDir dir;
  WriteFile(dir / "b.txt", "b");
  WriteFile(dir / "a.txt", "a");
  fs::create_directories(dir / "sub");
  WriteFile(dir / "sub/c.txt", "c");

  CFINDFILE find;
  CTEXT path;
  EXPECT_FALSE(find.Next(&path));  // not started
  ASSERT_TRUE(find.Start(dir.str().c_str(), "*.*"));
  std::vector<std::string> found;
  while (find.Next(&path)) found.push_back(path.Text());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{dir / "a.txt", dir / "b.txt"}));
  EXPECT_EQ(find.Count(), 2u);
  EXPECT_FALSE(find.Next(&path));

  // A new scan with a narrower mask; a mask without matches.
  ASSERT_TRUE(find.Start(dir.str().c_str(), "b*"));
  ASSERT_TRUE(find.Next(&path));
  EXPECT_EQ(std::string(path.Text()), dir / "b.txt");
  EXPECT_FALSE(find.Next(&path));
  // A scan closed half-way is over: nothing is returned twice.
  ASSERT_TRUE(find.Start(dir.str().c_str(), "*.txt"));
  ASSERT_TRUE(find.Next(&path));
  find.Close();
  EXPECT_FALSE(find.Next(&path));
  ASSERT_TRUE(find.Start(dir.str().c_str(), "*.none"));
  EXPECT_FALSE(find.Next(&path));
  ASSERT_TRUE(find.Start((dir / "missing").c_str(), "*.*"));
  EXPECT_FALSE(find.Next(&path));
}

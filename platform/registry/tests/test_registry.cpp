#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/tempdir.h"

namespace {

// Each test on a machine root of its own.
class Registry : public ::testing::Test {
 protected:
  mvntest::TestRoot m_root;
};

// A key handle closed at the end of the scope.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (m_key) RegCloseKey(m_key);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PHKEY out() { return &m_key; }
  operator HKEY() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// A fresh key below HKLM\SOFTWARE for one test.
std::string TestPath(const std::string& name) { return "SOFTWARE\\Tests\\" + name; }

LONG Create(HKEY root, const std::string& path, Key* key, DWORD* disposition = nullptr) {
  return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key->out(), disposition);
}

LONG SetSz(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string QueryA(HKEY key, const char* name, DWORD* type = nullptr) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
  std::string data(size, '?');
  EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size), ERROR_SUCCESS);
  data.resize(size);
  return data;
}

std::u16string QueryW(HKEY key, const char16_t* name) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size % 2, 0u);
  std::u16string data(size / 2, u'?');
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
            ERROR_SUCCESS);
  data.resize(size / 2);
  return data;
}

std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    LONG error = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(error, ERROR_SUCCESS);
    if (error) break;
    names.emplace_back(name, size);
  }
  return names;
}

TEST_F(Registry, CreateOpenAndNames) {
  Key created;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Names\\Deep\\Er"), &created, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  Key again;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("names\\DEEP\\er\\"), &again, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  // Names keep the spelling they were created with; lookups ignore case.
  Key parent;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TESTS\\names", 0, KEY_READ, parent.out()), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(parent), std::vector<std::string>{"Deep"});

  // "/" is part of a name; an empty level or a leading "\" is no path.
  Key slash;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Names\\a/b"), &slash), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(parent), (std::vector<std::string>{"a/b", "Deep"}));
  Key bad;
  EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, "\\SOFTWARE", &bad), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Names\\\\x"), &bad), ERROR_BAD_PATHNAME);

  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Names\\Nope").c_str(), 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x5000), "x", 0, KEY_READ, &missing), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x5000)), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, EnumerationOrderAndBufferRules) {
  Key key;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Order"), &key), ERROR_SUCCESS);
  for (const char* name : {"beta", "Alpha", "_under", "gamma", "Zeta"}) {
    Key sub;
    ASSERT_EQ(Create(key, name, &sub), ERROR_SUCCESS);
    ASSERT_EQ(SetSz(key, name, name), ERROR_SUCCESS);
  }
  // Sorted by the upper-cased names: "_" (0x5F) comes after the letters.
  const std::vector<std::string> expected = {"Alpha", "beta", "gamma", "Zeta", "_under"};
  EXPECT_EQ(SubKeys(key), expected);

  char name[16];
  DWORD size = 5;  // "Alpha" needs 6 with its NUL
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(name, "Alpha");
  EXPECT_EQ(RegEnumKeyA(key, 4, name, 6), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyA(key, 4, name, 7), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(key, 5, name, sizeof name), ERROR_NO_MORE_ITEMS);

  char16_t wide[16];
  EXPECT_EQ(RegEnumKeyW(key, 1, wide, 4), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyW(key, 1, wide, 5), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"beta");

  // Values: same order; data that does not fit reports its size.
  for (DWORD i = 0; i < expected.size(); ++i) {
    DWORD nameSize = sizeof name, type = 0;
    BYTE data[16];
    DWORD dataSize = sizeof data;
    ASSERT_EQ(RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, nameSize), expected[i]);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(dataSize, expected[i].size() + 1);
  }
  DWORD nameSize = sizeof name;
  BYTE data[2];
  DWORD dataSize = sizeof data;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, data, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 6u);
  nameSize = 3;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 5, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  char16_t wname[16];
  nameSize = 16;
  dataSize = 0;
  EXPECT_EQ(RegEnumValueW(key, 2, wname, &nameSize, nullptr, nullptr, nullptr, &dataSize), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wname, nameSize), u"gamma");
  EXPECT_EQ(dataSize, 12u);  // UTF-16 "gamma" and its terminator
}

TEST_F(Registry, TextSeenThroughAAndW) {
  Key key;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "SOFTWARE\\Morvane International\\MVNSEND", &key), ERROR_SUCCESS);
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e";  // 5 letters, 7 bytes
  ASSERT_EQ(SetSz(key, "UserName", utf8), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(QueryA(key, "UserName", &type), utf8 + '\0');
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(QueryW(key, u"USERNAME"), std::u16string(u"Gr\u00FC\u00DFe") + u'\0');

  // Set through W, read through A; a terminator that is missing is added.
  const std::u16string wide = u"\u65E5\u672C";
  ASSERT_EQ(RegSetValueExW(key, u"UserId", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.data()), 4), ERROR_SUCCESS);
  EXPECT_EQ(QueryA(key, "UserId"), "\xE6\x97\xA5\xE6\x9C\xAC" + std::string(1, '\0'));
  EXPECT_EQ(QueryW(key, u"UserId"), wide + u'\0');
  ASSERT_EQ(RegSetValueExA(key, "NoNul", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%TEMP%"), 6), ERROR_SUCCESS);
  EXPECT_EQ(QueryA(key, "NoNul", &type), std::string("%TEMP%\0", 7));
  EXPECT_EQ(type, REG_EXPAND_SZ);

  // Size rules: without data the size; too small a buffer ERROR_MORE_DATA
  // with the size needed; a missing value ERROR_FILE_NOT_FOUND.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "UserName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "UserName", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"UserName", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "UserName", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);

  // nullptr and "" both name the default value.
  ASSERT_EQ(SetSz(key, nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(QueryA(key, ""), std::string("default\0", 8));
  EXPECT_EQ(QueryW(key, nullptr), std::u16string(u"default") + u'\0');
  EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, MultiStringsBinaryAndDword) {
  Key key;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Types"), &key), ERROR_SUCCESS);
  struct Case {
    std::string set;      // as given to RegSetValueExA
    std::string stored;   // as RegQueryValueExA returns it
  } cases[] = {
      {std::string("one\0two\0\0", 9), std::string("one\0two\0\0", 9)},
      {std::string("one\0two", 7), std::string("one\0two\0\0", 9)},  // terminators added
      {std::string("one\0\0ignored\0\0", 14), std::string("one\0\0", 5)},  // the list ends at ""
      {std::string("", 0), std::string("\0", 1)},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(c.set.data()),
                             static_cast<DWORD>(c.set.size())),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryA(key, "Multi"), c.stored);
  }
  const std::u16string wide(u"caf\u00E9\0b\0\0", 8);
  ASSERT_EQ(RegSetValueExW(key, u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(wide.data()), 16),
            ERROR_SUCCESS);
  EXPECT_EQ(QueryA(key, "Multi"), std::string("caf\xC3\xA9\0b\0\0", 9));
  EXPECT_EQ(QueryW(key, u"Multi"), wide);

  const std::string binary("\x00\x01\xFF\x00", 4);
  ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, reinterpret_cast<const BYTE*>(binary.data()), 4),
            ERROR_SUCCESS);
  DWORD number = 0xDEADBEEF;
  ASSERT_EQ(RegSetValueExW(key, u"Num", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(QueryA(key, "Bin", &type), binary);
  EXPECT_EQ(type, REG_BINARY);
  DWORD read = 0, size = sizeof read;
  EXPECT_EQ(RegQueryValueExW(key, u"num", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read, 0xDEADBEEF);
  EXPECT_EQ(size, 4u);

  DWORD subKeys = 9, maxSub = 9, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(maxSub, 0u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxName, 5u);  // "Multi"
  EXPECT_EQ(maxData, 9u);  // "caf\xC3\xA9\0b\0\0"
}

TEST_F(Registry, ValueNamesIgnoreCaseAndKeepSpelling) {
  Key key;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Port\\MVN1"), &key), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, "Launch", "0"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, "LAUNCH", "1"), ERROR_SUCCESS);
  EXPECT_EQ(QueryA(key, "launch"), std::string("1\0", 2));
  char name[16];
  DWORD nameSize = sizeof name;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Launch");
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, DeletingKeys) {
  Key parent;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Delete"), &parent), ERROR_SUCCESS);
  Key child;
  ASSERT_EQ(Create(parent, "Child\\Grandchild", &child), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(child, "v", "x"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKeyA(parent, "nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(parent, "CHILD\\grandchild"), ERROR_SUCCESS);

  // The open handle to the deleted key now fails with ERROR_KEY_DELETED,
  // also after a key of the same name is made again.
  Key recreated;
  ASSERT_EQ(Create(parent, "Child\\Grandchild", &recreated), ERROR_SUCCESS);
  DWORD size = 0;
  char name[8];
  Key sub;
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SetSz(child, "v", "y"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyA(child, 0, name, sizeof name), ERROR_KEY_DELETED);
  EXPECT_EQ(Create(child, "sub", &sub), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(recreated, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // "" deletes the key a handle stands for.
  EXPECT_EQ(RegDeleteKeyW(recreated, u""), ERROR_SUCCESS);
  EXPECT_EQ(SetSz(recreated, "v", "y"), ERROR_KEY_DELETED);
}

TEST_F(Registry, AccessRightsOfAHandle) {
  Key writable;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Access"), &writable), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(writable, "v", "1"), ERROR_SUCCESS);
  Key reading;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Access").c_str(), 0, KEY_READ, reading.out()), ERROR_SUCCESS);
  EXPECT_EQ(SetSz(reading, "v", "2"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(reading, "v"), ERROR_ACCESS_DENIED);
  Key sub;
  EXPECT_EQ(Create(reading, "new", &sub), ERROR_ACCESS_DENIED);
  Key listing;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Access").c_str(), 0, KEY_ENUMERATE_SUB_KEYS, listing.out()),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(listing, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  char name[8];
  EXPECT_EQ(RegEnumKeyA(listing, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(QueryA(reading, "v"), std::string("1\0", 2));
}

TEST_F(Registry, HiveFilesAndPredefinedKeys) {
  Key machine, user;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Files"), &machine), ERROR_SUCCESS);
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "SOFTWARE\\Files", &user), ERROR_SUCCESS);
  struct Case {
    std::string path;
    mode_t mode;
  } cases[] = {
      {"registry", 0755}, {"registry/HKLM.db", 0600}, {"registry/HKLM.copy.db", 0644}, {"registry/users", 01777},
  };
  for (const Case& c : cases) {
    struct stat st;
    ASSERT_EQ(stat((m_root / c.path).c_str(), &st), 0) << c.path;
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.path;
  }
  char userName[256];
  DWORD length = sizeof userName;
  ASSERT_TRUE(GetUserNameA(userName, &length));
  struct stat st;
  ASSERT_EQ(stat((m_root / ("registry/users/" + std::string(userName))).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((m_root / ("registry/users/" + std::string(userName) + "/HKCU.db")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // The two hives are apart.
  Key probe;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Files", 0, KEY_READ, probe.out()), ERROR_FILE_NOT_FOUND);

  // HKEY_USERS\<user> is the user's HKEY_CURRENT_USER.
  Key viaUsers;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, (std::string(userName) + "\\SOFTWARE\\Files").c_str(), 0, KEY_READ,
                          viaUsers.out()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetSz(user, "where", "user hive"), ERROR_SUCCESS);
  EXPECT_EQ(QueryA(viaUsers, "where"), std::string("user hive\0", 10));
  std::vector<std::string> users = SubKeys(HKEY_USERS);
  EXPECT_NE(std::find(users.begin(), users.end(), userName), users.end());

  // HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes; RegQueryValueA reads the
  // default value, "" when the key has none.
  Key command;
  ASSERT_EQ(Create(HKEY_CLASSES_ROOT, "htmlfile\\shell\\open\\command", &command), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(command, nullptr, "browser -nohome"), ERROR_SUCCESS);
  Key same;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\htmlfile\\shell\\open\\command", 0, KEY_READ,
                          same.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(QueryA(same, nullptr), std::string("browser -nohome\0", 16));
  char text[200];
  LONG size = sizeof text;
  EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "htmlfile\\shell\\open\\command", text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "browser -nohome");
  EXPECT_EQ(size, 16);
  size = sizeof text;
  EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "htmlfile\\shell", text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "nofile", text, &size), ERROR_FILE_NOT_FOUND);
}

// The machine hive, made by root, is readable but not writable for another
// user, who still gets a private hive of their own below it.
TEST_F(Registry, AnotherUserReadsTheMachineHive) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  ASSERT_EQ(chmod(m_root.str().c_str(), 0755), 0);
  Key machine;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Shared"), &machine), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(machine, "v", "root's"), ERROR_SUCCESS);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    HKEY key;
    char data[16] = {};
    DWORD size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Shared").c_str(), 0, KEY_READ, &key)) _exit(1);
    if (RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) || strcmp(data, "root's"))
      _exit(2);
    RegCloseKey(key);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Shared").c_str(), 0, KEY_WRITE, &key) != ERROR_ACCESS_DENIED)
      _exit(3);
    if (SetSz(HKEY_LOCAL_MACHINE, "v", "mine") != ERROR_ACCESS_DENIED) _exit(4);
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
      _exit(5);
    if (SetSz(key, "v", "mine")) _exit(6);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child exit " << WEXITSTATUS(status);
  EXPECT_EQ(QueryA(machine, "v"), std::string("root's\0", 7));
}

// A hive file deleted under a running process (a registry reset) is made
// anew on the next call; writes go to the new file, which other processes
// see, and handles from before are stale.
TEST_F(Registry, HiveFileReplacedWhileOpen) {
  Key old;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Reset\\A"), &old), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(old, "v", "old"), ERROR_SUCCESS);
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((m_root / ("registry/HKLM.db" + std::string(suffix))).c_str());

  Key fresh;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other\\Tree\\Deep", &fresh), ERROR_SUCCESS);
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Reset\\A"), &fresh, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetSz(fresh, "v", "new"), ERROR_SUCCESS);
  EXPECT_EQ(SetSz(old, "v", "lost"), ERROR_KEY_DELETED);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HKEY key;
    char data[16] = {};
    DWORD size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPath("Reset\\A").c_str(), 0, KEY_READ, &key)) _exit(1);
    if (RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size)) _exit(2);
    _exit(strcmp(data, "new") == 0 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Several processes writing one hive at the same time lose nothing; the
// children also use a handle the parent opened before the fork.
TEST_F(Registry, ConcurrentProcessesLoseNoWrites) {
  Key key;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, TestPath("Concurrent"), &key), ERROR_SUCCESS);
  constexpr int kChildren = 4;
  constexpr int kValues = 60;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int v = 0; v < kValues; ++v) {
        const std::string name = "c" + std::to_string(c) + "v" + std::to_string(v);
        if (SetSz(key, name.c_str(), name) != ERROR_SUCCESS) _exit(1);
        // Everybody also creates the same keys: one makes each, the others
        // open it.
        Key shared;
        if (Create(key, "Shared\\k" + std::to_string(v % 7), &shared) != ERROR_SUCCESS) _exit(2);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  DWORD values = 0, subKeys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kChildren * kValues));
  Key shared;
  ASSERT_EQ(RegOpenKeyExA(key, "Shared", 0, KEY_READ, shared.out()), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(shared).size(), 7u);
  EXPECT_EQ(QueryA(key, "c3v59"), std::string("c3v59\0", 6));
}

}  // namespace

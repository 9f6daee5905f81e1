// One hive: a SQLite database of keys and values.
//
//   keys(id, parent, name, fold)  a key; fold is the name with ASCII letters
//                                 upper-cased, unique below one parent; the
//                                 hive's root is id 1. Ids are never reused,
//                                 so a handle can tell that its key is gone.
//   vals(key, name, fold, type, data)  a value; fold unique within a key.
//   meta(name, value)             "id": random bytes made with the hive.
//
// Values are kept in their stored form (see registry.h): strings without
// terminator, multi-strings with theirs. Each public operation is its own
// transaction and returns a Win32 error code.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/kernel/win32.h"

struct sqlite3;
struct sqlite3_stmt;

namespace mvn::registry {

using KeyId = std::int64_t;
constexpr KeyId kRootKey = 1;

struct StoredValue {
  std::string name;
  DWORD type = 0;
  std::string data;
};

// Upper-cases ASCII letters: the form names are compared and sorted in.
std::string FoldName(std::string_view name);

class Hive {
 public:
  // Opens (creating when missing) the database file at path. A new file is
  // given mode; keepWal leaves the WAL files in place when the last
  // connection closes, so users that may only read the hive can still open
  // it.
  static LONG Open(const std::string& path, mode_t mode, bool keepWal, Hive** hive);
  // Opens a published copy (see Publish) read-only and immutable: SQLite
  // takes no lock on it and makes no file beside it, so nothing its reader
  // does can hold up the hive's writer. ERROR_FILE_NOT_FOUND when there is
  // none yet.
  static LONG OpenCopy(const std::string& path, Hive** hive);
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  // Drops the connection without closing it: for a child process after
  // fork, which must not touch its parent's connection.
  void Abandon();

  bool ReadOnly() const { return m_readOnly; }
  // From now on every write that changed something is followed by a fresh
  // copy of the whole hive at copyPath (0644), written to a temporary name
  // beside it and renamed over it, so readers see either the old or the new
  // copy, never a part. Writes one at once when none is there yet.
  LONG PublishTo(const std::string& copyPath);
  // Whether path is still the file this connection opened (not deleted or
  // replaced since).
  bool IsFile(const std::string& path) const;
  // A random id the hive got when it was made: the same for every
  // connection to the file, different for a file made anew.
  const std::string& Id() const { return m_id; }

  // Follows path (one name per level) down from base. With create, missing
  // levels are made and *created tells whether the last one was new.
  LONG Walk(KeyId base, const std::vector<std::string>& path, bool create, KeyId* key, bool* created);
  // ERROR_SUCCESS when the key exists, ERROR_KEY_DELETED when it is gone.
  LONG Check(KeyId key);
  LONG EnumKey(KeyId key, DWORD index, std::string* name);
  LONG EnumValue(KeyId key, DWORD index, StoredValue* value);
  LONG QueryValue(KeyId key, std::string_view name, StoredValue* value);
  LONG SetValue(KeyId key, std::string_view name, DWORD type, const std::string& data);
  LONG DeleteValue(KeyId key, std::string_view name);
  // Deletes the key at path below base (base itself for an empty path): not
  // the root, not a key with subkeys (ERROR_ACCESS_DENIED).
  LONG DeleteKey(KeyId base, const std::vector<std::string>& path);
  // Every subkey name and every value of a key.
  LONG List(KeyId key, std::vector<std::string>* subKeys, std::vector<StoredValue>* values);

 private:
  class Transaction;
  explicit Hive(sqlite3* db) : m_db(db) {}
  LONG Prepare(const char* sql, sqlite3_stmt** statement);
  LONG CreateSchema();
  LONG ReadId();
  LONG Exists(KeyId key, bool* exists);
  LONG Child(KeyId parent, std::string_view name, KeyId* child);
  LONG Error(int rc) const;
  LONG Publish();
  // SQLite's busy handler: waits for another connection's lock up to the
  // hive's limit, then gives up with a message saying what it waited for.
  static int OnBusy(void* hive, int count);
  // Steps a statement expecting one row: ERROR_SUCCESS on a row, none when
  // there is none, the mapped SQLite error otherwise.
  LONG StepRow(sqlite3_stmt* statement, LONG none) const;
  // Steps a statement that returns no rows.
  LONG StepDone(sqlite3_stmt* statement) const;

  sqlite3* m_db;
  bool m_readOnly = false;
  // Kept open on the database file so its inode number cannot be given to
  // another file while this connection lives.
  int m_fd = -1;
  std::string m_id;
  std::string m_path;
  std::string m_copy;
  std::chrono::steady_clock::time_point m_busySince;
  std::unordered_map<const char*, sqlite3_stmt*> m_statements;
};

}  // namespace mvn::registry

#include "platform/registry/src/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/registry/registry.h"

namespace mvn::registry {
namespace {

// How long a call waits for another process's write to finish.
constexpr int kBusyTimeoutMs = 30000;
constexpr int kSchemaVersion = 1;

// Resets a cached statement when the operation using it ends.
class Use {
 public:
  explicit Use(sqlite3_stmt* statement) : m_statement(statement) {}
  ~Use() {
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  sqlite3_stmt* operator*() const { return m_statement; }

 private:
  sqlite3_stmt* m_statement;
};

void BindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  if (!data || size <= 0) return std::string();
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

// A value from a row whose first columns are name, type, data.
void ReadValue(sqlite3_stmt* statement, StoredValue* value) {
  value->name = ColumnBytes(statement, 0);
  value->type = static_cast<DWORD>(sqlite3_column_int64(statement, 1));
  value->data = ColumnBytes(statement, 2);
}

// A path as a SQLite URI's file name: the characters that would end it or
// start an escape are percent-encoded.
std::string UriPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x21 || c >= 0x7f) {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri;
}

// A hive of one user's alone keeps that for its journal files too: one left
// readable by others by an older version (or a wider umask) is narrowed
// before SQLite opens it. Only regular files of the process's own user are
// touched; a link or anything else is left alone (SQLite refuses those).
void NarrowPrivateFiles(const std::string& path, mode_t mode) {
  if (mode & 077) return;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const int fd = open((path + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) != mode) {
      fchmod(fd, mode);
    }
    close(fd);
  }
}

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

class Hive::Transaction {
 public:
  Transaction(Hive& hive, bool write) : m_hive(hive), m_write(write), m_changes(sqlite3_total_changes(hive.m_db)) {
    m_rc = sqlite3_exec(m_hive.m_db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    m_open = m_rc == SQLITE_OK;
  }
  ~Transaction() {
    if (m_open) sqlite3_exec(m_hive.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  LONG Status() const { return m_hive.Error(m_rc); }
  // Status, then whether key is still there (ERROR_KEY_DELETED when not).
  LONG Status(KeyId key) {
    if (LONG error = Status()) return error;
    bool exists = false;
    if (LONG error = m_hive.Exists(key, &exists)) return error;
    return exists ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  }
  LONG Commit() {
    const int rc = sqlite3_exec(m_hive.m_db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) m_open = false;
    if (rc != SQLITE_OK) return m_hive.Error(rc);
    // The write stands; a copy that could not follow it is reported, since
    // its readers would not see the change.
    if (m_write && sqlite3_total_changes(m_hive.m_db) != m_changes) return m_hive.Publish();
    return ERROR_SUCCESS;
  }

 private:
  Hive& m_hive;
  bool m_write;
  int m_changes;
  int m_rc;
  bool m_open = false;
};

LONG Hive::Error(int rc) const {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_PROTOCOL:
      // SQLite retries a lock of the WAL index a bounded while (about 10 s)
      // and then gives up with this: the hive is fine, only held by another.
      fprintf(stderr, "registry: gave up waiting for another process to release its lock on %s\n", m_path.c_str());
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_IOERR:
      return rc == SQLITE_IOERR_READ || rc == SQLITE_IOERR_SHORT_READ ? ERROR_CANTREAD : ERROR_CANTWRITE;
    default:
      return ERROR_BADDB;
  }
}

LONG Hive::StepRow(sqlite3_stmt* statement, LONG none) const {
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? none : Error(rc);
}

LONG Hive::StepDone(sqlite3_stmt* statement) const {
  const int rc = sqlite3_step(statement);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Error(rc);
}

LONG Hive::Open(const std::string& path, mode_t mode, bool keepWal, Hive** hive) {
  *hive = nullptr;
  for (int attempt = 0; attempt < 5; ++attempt) {
    // The file is made here rather than by SQLite so it gets exactly the
    // mode asked for; SQLite gives its WAL files the mode of the database.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      fchmod(fd, mode);
      close(fd);
      NarrowPrivateFiles(path, mode);  // journal files left from an earlier file of this name
    } else if (errno != EEXIST) {
      return errno == EACCES || errno == EPERM || errno == EROFS ? ERROR_ACCESS_DENIED
                                                                 : Win32ErrorFromErrno(errno, path.c_str());
    }
    if (fd < 0) NarrowPrivateFiles(path, mode);
    // The descriptor is opened before SQLite opens the path and checked
    // against it afterwards, so both surely refer to one file.
    const int own = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) {
      if (errno == ENOENT) continue;  // deleted again meanwhile
      return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno, path.c_str());
    }
    sqlite3* db = nullptr;
    // Read-write when the file allows it, else SQLite opens it read-only.
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);
      close(own);
      return rc == SQLITE_CANTOPEN ? ERROR_ACCESS_DENIED : ERROR_BADDB;
    }
    Hive* opened = new Hive(db);
    opened->m_fd = own;
    opened->m_path = path;
    sqlite3_busy_handler(db, &Hive::OnBusy, opened);
    sqlite3_extended_result_codes(db, 1);
    opened->m_readOnly = sqlite3_db_readonly(db, "main") == 1;
    if (keepWal) {
      int on = 1;
      sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &on);
    }
    LONG error = opened->CreateSchema();
    if (error == ERROR_SUCCESS) error = opened->ReadId();
    if (error != ERROR_SUCCESS) {
      delete opened;
      return error;
    }
    if (opened->IsFile(path)) {
      *hive = opened;
      return ERROR_SUCCESS;
    }
    delete opened;  // replaced while opening: once more
  }
  return ERROR_BUSY;
}

LONG Hive::OpenCopy(const std::string& path, Hive** hive) {
  *hive = nullptr;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int own = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) {
      return errno == ENOENT   ? ERROR_FILE_NOT_FOUND
             : errno == EACCES ? ERROR_ACCESS_DENIED
                               : Win32ErrorFromErrno(errno, path.c_str());
    }
    struct stat st;
    if (fstat(own, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(own);
      return ERROR_ACCESS_DENIED;
    }
    sqlite3* db = nullptr;
    const std::string uri = UriPath(path) + "?immutable=1";
    int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);
      close(own);
      return rc == SQLITE_CANTOPEN ? ERROR_ACCESS_DENIED : ERROR_BADDB;
    }
    Hive* opened = new Hive(db);
    opened->m_fd = own;
    opened->m_path = path;
    opened->m_readOnly = true;
    sqlite3_extended_result_codes(db, 1);
    LONG error = opened->CreateSchema();
    if (error == ERROR_SUCCESS) error = opened->ReadId();
    if (error != ERROR_SUCCESS) {
      delete opened;
      return error;
    }
    if (opened->IsFile(path)) {
      *hive = opened;
      return ERROR_SUCCESS;
    }
    delete opened;  // replaced while opening: the newer one
  }
  return ERROR_BUSY;
}

int Hive::OnBusy(void* data, int count) {
  Hive* hive = static_cast<Hive*>(data);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) hive->m_busySince = now;
  if (now - hive->m_busySince >= std::chrono::milliseconds(kBusyTimeoutMs)) {
    fprintf(stderr, "registry: gave up after %d s waiting for another process to release its lock on %s\n",
            kBusyTimeoutMs / 1000, hive->m_path.c_str());
    return 0;
  }
  usleep(static_cast<useconds_t>(std::min(1000 << std::min(count, 5), 20000)));
  return 1;
}

LONG Hive::PublishTo(const std::string& copyPath) {
  m_copy = copyPath;
  struct stat st;
  if (lstat(m_copy.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return ERROR_SUCCESS;
  return Publish();
}

LONG Hive::Publish() {
  if (m_copy.empty()) return ERROR_SUCCESS;
  // Writers of one hive publish one at a time, each a snapshot taken after
  // its own commit, so the copy renamed last holds every commit before it.
  // The lock file sits beside the hive with its mode: whoever may not write
  // the hive cannot take it either.
  const std::string lockPath = m_copy + ".lock";
  const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (lock < 0) return Win32ErrorFromErrno(errno, lockPath.c_str());
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  while (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      close(lock);
      return Win32ErrorFromErrno(errno, lockPath.c_str());
    }
    if (std::chrono::steady_clock::now() >= until) {
      fprintf(stderr, "registry: gave up after %d s waiting for another process to release %s\n",
              kBusyTimeoutMs / 1000, lockPath.c_str());
      close(lock);
      return ERROR_BUSY;
    }
    usleep(10000);
  }
  const std::string temporary = m_copy + "." + std::to_string(getpid()) + ".new";
  unlink(temporary.c_str());
  LONG error = ERROR_SUCCESS;
  {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "VACUUM INTO ?1", -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
      BindText(statement, 1, temporary);
      rc = sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_OK) error = Error(rc);
  }
  if (error == ERROR_SUCCESS) {
    // The copy is read immutable, without the hive's WAL: it is made a
    // plain file of its own.
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(temporary.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_close(copy);
    if (rc != SQLITE_OK) error = Error(rc);
  }
  if (error == ERROR_SUCCESS && chmod(temporary.c_str(), 0644) != 0) error = Win32ErrorFromErrno(errno, temporary.c_str());
  if (error == ERROR_SUCCESS && rename(temporary.c_str(), m_copy.c_str()) != 0) {
    error = Win32ErrorFromErrno(errno, m_copy.c_str());
  }
  if (error != ERROR_SUCCESS) unlink(temporary.c_str());
  close(lock);
  return error;
}

LONG Hive::ReadId() {
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT value FROM meta WHERE name = 'id'", &raw)) return error;
  Use statement(raw);
  if (LONG error = StepRow(raw, ERROR_BADDB)) return error;
  m_id = ColumnBytes(raw, 0);
  return ERROR_SUCCESS;
}

LONG Hive::CreateSchema() {
  if (!m_readOnly) {
    // Switching a new database to WAL needs it to itself for a moment; the
    // busy handler covers most of that, a few retries the rest.
    int rc = SQLITE_BUSY;
    for (int attempt = 0; attempt < 50 && (rc & 0xFF) == SQLITE_BUSY; ++attempt) {
      rc = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if ((rc & 0xFF) == SQLITE_BUSY) usleep(20000);
    }
    if (rc != SQLITE_OK) return Error(rc);
    rc = sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Error(rc);
  }

  int version = -1;
  {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &statement, nullptr);
    if (rc == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    if (rc != SQLITE_OK) return Error(rc);
  }
  if (version == kSchemaVersion) return ERROR_SUCCESS;
  if (version != 0 || m_readOnly) return ERROR_BADDB;

  Transaction transaction(*this, true);
  if (LONG error = transaction.Status()) return error;
  static const char kSchema[] =
      "CREATE TABLE IF NOT EXISTS keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER NOT NULL,"
      "  name TEXT NOT NULL,"
      "  fold TEXT NOT NULL);"
      "CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, fold);"
      "CREATE TABLE IF NOT EXISTS vals("
      "  key INTEGER NOT NULL,"
      "  name TEXT NOT NULL,"
      "  fold TEXT NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  PRIMARY KEY(key, fold)) WITHOUT ROWID;"
      "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, '', '');"
      "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value BLOB NOT NULL);"
      "INSERT OR IGNORE INTO meta(name, value) VALUES('id', randomblob(16));"
      "PRAGMA user_version=1;";
  int rc = sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Error(rc);
  return transaction.Commit();
}

Hive::~Hive() {
  if (m_db) {
    for (auto& entry : m_statements) sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
  }
  // Only after SQLite is done with the file: closing any descriptor of a
  // file drops the process's POSIX locks on it.
  if (m_fd >= 0) close(m_fd);
}

bool Hive::IsFile(const std::string& path) const {
  struct stat own, named;
  return fstat(m_fd, &own) == 0 && own.st_nlink > 0 && stat(path.c_str(), &named) == 0 &&
         named.st_dev == own.st_dev && named.st_ino == own.st_ino;
}

void Hive::Abandon() {
  m_db = nullptr;
  m_statements.clear();
  // The child holds no locks of the parent's, so closing its copy of the
  // descriptor is harmless.
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

LONG Hive::Prepare(const char* sql, sqlite3_stmt** statement) {
  auto found = m_statements.find(sql);
  if (found != m_statements.end()) {
    *statement = found->second;
    return ERROR_SUCCESS;
  }
  int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
  if (rc != SQLITE_OK) return Error(rc);
  m_statements.emplace(sql, *statement);
  return ERROR_SUCCESS;
}

LONG Hive::Exists(KeyId key, bool* exists) {
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT 1 FROM keys WHERE id = ?1", &raw)) return error;
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, key);
  int rc = sqlite3_step(raw);
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : Error(rc);
}

LONG Hive::Child(KeyId parent, std::string_view name, KeyId* child) {
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", &raw)) return error;
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, parent);
  BindText(raw, 2, FoldName(name));
  if (LONG error = StepRow(raw, ERROR_FILE_NOT_FOUND)) return error;
  *child = sqlite3_column_int64(raw, 0);
  return ERROR_SUCCESS;
}

LONG Hive::Check(KeyId key) {
  Transaction transaction(*this, false);
  return transaction.Status(key);
}

LONG Hive::Walk(KeyId base, const std::vector<std::string>& path, bool create, KeyId* key, bool* created) {
  *created = false;
  const bool write = create && !m_readOnly;
  Transaction transaction(*this, write);
  if (LONG error = transaction.Status(base)) return error;
  KeyId current = base;
  for (const std::string& name : path) {
    KeyId next = 0;
    LONG error = Child(current, name, &next);
    if (error == ERROR_FILE_NOT_FOUND && create) {
      if (!write) return ERROR_ACCESS_DENIED;
      sqlite3_stmt* raw;
      if (LONG e = Prepare("INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)", &raw)) return e;
      Use statement(raw);
      sqlite3_bind_int64(raw, 1, current);
      BindText(raw, 2, name);
      BindText(raw, 3, FoldName(name));
      if (LONG e = StepDone(raw)) return e;
      next = sqlite3_last_insert_rowid(m_db);
      *created = true;
    } else if (error != ERROR_SUCCESS) {
      return error;
    } else {
      *created = false;
    }
    current = next;
  }
  *key = current;
  return write ? transaction.Commit() : ERROR_SUCCESS;
}

LONG Hive::EnumKey(KeyId key, DWORD index, std::string* name) {
  Transaction transaction(*this, false);
  if (LONG error = transaction.Status(key)) return error;
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2", &raw)) {
    return error;
  }
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, key);
  sqlite3_bind_int64(raw, 2, index);
  if (LONG error = StepRow(raw, ERROR_NO_MORE_ITEMS)) return error;
  *name = ColumnBytes(raw, 0);
  return ERROR_SUCCESS;
}

LONG Hive::EnumValue(KeyId key, DWORD index, StoredValue* value) {
  Transaction transaction(*this, false);
  if (LONG error = transaction.Status(key)) return error;
  sqlite3_stmt* raw;
  if (LONG error =
          Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold LIMIT 1 OFFSET ?2", &raw)) {
    return error;
  }
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, key);
  sqlite3_bind_int64(raw, 2, index);
  if (LONG error = StepRow(raw, ERROR_NO_MORE_ITEMS)) return error;
  ReadValue(raw, value);
  return ERROR_SUCCESS;
}

LONG Hive::QueryValue(KeyId key, std::string_view name, StoredValue* value) {
  Transaction transaction(*this, false);
  if (LONG error = transaction.Status(key)) return error;
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2", &raw)) return error;
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, key);
  BindText(raw, 2, FoldName(name));
  if (LONG error = StepRow(raw, ERROR_FILE_NOT_FOUND)) return error;
  ReadValue(raw, value);
  return ERROR_SUCCESS;
}

LONG Hive::SetValue(KeyId key, std::string_view name, DWORD type, const std::string& data) {
  if (m_readOnly) return ERROR_ACCESS_DENIED;
  Transaction transaction(*this, true);
  if (LONG error = transaction.Status(key)) return error;
  sqlite3_stmt* raw;
  // A value set again keeps the spelling it was created with.
  if (LONG error = Prepare(
          "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
          "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
          &raw)) {
    return error;
  }
  {
    Use statement(raw);
    sqlite3_bind_int64(raw, 1, key);
    BindText(raw, 2, name);
    BindText(raw, 3, FoldName(name));
    sqlite3_bind_int64(raw, 4, type);
    sqlite3_bind_blob(raw, 5, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    if (LONG error = StepDone(raw)) return error;
  }
  return transaction.Commit();
}

LONG Hive::DeleteValue(KeyId key, std::string_view name) {
  if (m_readOnly) return ERROR_ACCESS_DENIED;
  Transaction transaction(*this, true);
  if (LONG error = transaction.Status(key)) return error;
  sqlite3_stmt* raw;
  if (LONG error = Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2", &raw)) return error;
  {
    Use statement(raw);
    sqlite3_bind_int64(raw, 1, key);
    BindText(raw, 2, FoldName(name));
    if (LONG error = StepDone(raw)) return error;
    if (sqlite3_changes(m_db) == 0) return ERROR_FILE_NOT_FOUND;
  }
  return transaction.Commit();
}

LONG Hive::DeleteKey(KeyId base, const std::vector<std::string>& path) {
  Transaction transaction(*this, !m_readOnly);
  if (LONG error = transaction.Status(base)) return error;
  KeyId target = base;
  for (const std::string& name : path) {
    if (LONG error = Child(target, name, &target)) return error;
  }
  if (target == kRootKey || m_readOnly) return ERROR_ACCESS_DENIED;
  {
    sqlite3_stmt* raw;
    if (LONG error = Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1", &raw)) return error;
    Use statement(raw);
    sqlite3_bind_int64(raw, 1, target);
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return Error(rc);
  }
  for (const char* sql : {"DELETE FROM vals WHERE key = ?1", "DELETE FROM keys WHERE id = ?1"}) {
    sqlite3_stmt* raw;
    if (LONG error = Prepare(sql, &raw)) return error;
    Use statement(raw);
    sqlite3_bind_int64(raw, 1, target);
    if (LONG error = StepDone(raw)) return error;
  }
  return transaction.Commit();
}

LONG Hive::List(KeyId key, std::vector<std::string>* subKeys, std::vector<StoredValue>* values) {
  Transaction transaction(*this, false);
  if (LONG error = transaction.Status(key)) return error;
  {
    sqlite3_stmt* raw;
    if (LONG error = Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold", &raw)) return error;
    Use statement(raw);
    sqlite3_bind_int64(raw, 1, key);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) subKeys->push_back(ColumnBytes(raw, 0));
    if (rc != SQLITE_DONE) return Error(rc);
  }
  sqlite3_stmt* raw;
  if (LONG error = Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold", &raw)) return error;
  Use statement(raw);
  sqlite3_bind_int64(raw, 1, key);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    StoredValue value;
    ReadValue(raw, &value);
    values->push_back(std::move(value));
  }
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Error(rc);
}

}  // namespace mvn::registry

// The keyed data-file driver: several named tables in one SQLite database.
//
// File format: an SQLite database (rollback journal, never WAL, so it works
// on network folders). The table "_mvn_tables" lists each declared table
// with its layout's signature; a database without it that holds other
// tables is not one of ours (LayoutDiffersError, never written). Each
// declared table is an SQLite table with one column per field: numbers
// INTEGER, text TEXT COLLATE NOCASE (keys compare without ASCII case), memos
// TEXT, blobs BLOB. A table whose key has auto-increment uses that field as
// its INTEGER PRIMARY KEY AUTOINCREMENT, so a number is never handed out
// twice; other tables have a hidden "_row" column of the same kind, which
// also orders records of equal key values by insertion. Each other key is
// an index, UNIQUE where declared. STRING values are stored without their
// padding, key texts without trailing blanks.
//
// One connection per database file is shared by every file manager of the
// process that has one of its tables open (so a relation's cascade runs in
// one transaction); each file manager has its own statements and cursor.
// The statements of the records and the cursor are prepared once per open
// table (by what they do, with which key and direction) and run again with
// new values; they are dropped when the table or its indexes are made anew
// and on close.
// Open and share modes are also registered through the kernel's CreateFileA
// share locks, once per process and file (by its first opener), so an
// exclusive open by another process is seen while the file managers of one
// program never lock each other out.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <unordered_map>

#include "framework/core/src/sqltable.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::framework {
namespace {

struct Database {
  sqlite3* db = nullptr;
  std::string path;
  bool writable = false;
  int depth = 0;            // transaction nesting
  bool rolledBack = false;  // an inner level rolled back
  // When the statement running now started (the progress limit).
  std::atomic<int64_t> started{0};
  // The process's share lock on the file, taken by its first opener.
  HANDLE share = INVALID_HANDLE_VALUE;
  // A child made by fork() must not use its parent's connection.
  pid_t owner = getpid();
  ~Database() {
    if (db) sqlite3_close_v2(db);
    if (share != INVALID_HANDLE_VALUE) CloseHandle(share);
  }
};

std::mutex g_databasesLock;
std::map<std::string, std::weak_ptr<Database>>& Databases() {
  static auto* databases = new std::map<std::string, std::weak_ptr<Database>>;
  return *databases;
}

// Whether this process may change the existing file path: SQLite writes
// its journal beside the file, so a book in a folder the user may not write
// is as read-only as a file it may not write.
bool MayWrite(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return ::access(path.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

int FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return NoError;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return IsLockedError;
    case SQLITE_CONSTRAINT:
      return DuplicateKeyError;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
      return LayoutDiffersError;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return AccessDeniedError;
    default:
      return FileSystemError;
  }
}

// A book may be a file other users can write: nothing stored in it runs
// as code. Its triggers and views are off (the layouts declare none), its
// schema is not trusted to call functions, the defensive mode keeps the
// schema from being written through pragmas, and a statement that runs for
// longer than kStatementSeconds (an endless query planted in the file) is
// interrupted and fails instead of hanging the client.
constexpr int kStatementSeconds = 30;

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ProgressLimit(void* context) {
  auto* started = static_cast<std::atomic<int64_t>*>(context);
  return NowMs() - started->load() > kStatementSeconds * 1000 ? 1 : 0;
}

void Harden(Database& d) {
  sqlite3_db_config(d.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(d.db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(d.db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(d.db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  sqlite3_db_config(d.db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  d.started = NowMs();
  sqlite3_progress_handler(d.db, 10000, ProgressLimit, &d.started);
}

// The words the framework's own CREATE TABLE and CREATE INDEX statements
// are made of, besides names (quoted or bare), one level of parentheses and
// the empty defaults. A schema object built of anything else (an
// expression, a CHECK, a generated column, a WHERE clause, a virtual table)
// was not made by the framework.
bool IsOwnDdl(std::string_view sql) {
  static const char* const kWords[] = {"CREATE", "TABLE", "INDEX",   "UNIQUE", "ON",      "INTEGER", "PRIMARY",
                                       "KEY",    "NOT",   "NULL",    "DEFAULT", "TEXT",   "BLOB",    "COLLATE",
                                       "NOCASE", "_row",  "AUTOINCREMENT"};
  int depth = 0;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') {
      ++i;
    } else if (c == '(') {
      if (++depth > 1) return false;
      ++i;
    } else if (c == ')') {
      if (--depth < 0) return false;
      ++i;
    } else if (c == '"') {
      // A quoted name; "" inside is a quote.
      for (++i;; ++i) {
        if (i >= sql.size()) return false;
        if (sql[i] == '"') {
          if (i + 1 < sql.size() && sql[i + 1] == '"') {
            ++i;
            continue;
          }
          ++i;
          break;
        }
      }
    } else if (sql.substr(i, 2) == "''" || sql.substr(i, 3) == "x''") {
      i += sql[i] == 'x' ? 3 : 2;  // the empty defaults
    } else if (c == '0' && (i + 1 == sql.size() || !std::isalnum(static_cast<unsigned char>(sql[i + 1])))) {
      ++i;  // the numbers' default
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) ++end;
      std::string_view word = sql.substr(i, end - i);
      bool known = !sqlite3_keyword_check(word.data(), static_cast<int>(word.size()));  // a bare name
      for (const char* w : kWords)
        if (CompareNoCase(word, w) == 0) known = true;
      if (!known) return false;
      i = end;
    } else {
      return false;
    }
  }
  return depth == 0;
}

class KeyedBackend : public SqlBackend {
 public:
  explicit KeyedBackend(FileManager& owner) : SqlBackend(owner) {}
  ~KeyedBackend() override { Close(); }

  int Create() override;
  int BuildKeys() override;
  bool IsOpen() const override { return m_db != nullptr; }
  std::string FilePath() const override { return m_path; }
  int Copy(const std::string& newName) override;
  int Remove() override;
  int Next(Record& buffer, size_t* bytes) override;
  void SequentialScan(bool on) override {
    m_scanOn = on;
    if (!on) EndScan();
  }
  int Commit() override {
    EndScan();
    return SqlBackend::Commit();
  }
  int Rollback() override {
    EndScan();
    return SqlBackend::Rollback();
  }

 private:
  int Connect(bool create) override;
  int Verify(bool create) override;
  void Disconnect() override;
  int Execute(const std::string& sql) override { return Exec(sql); }
  int Change(uint64_t id, const SqlText& sql, const SqlArgs& args, int64_t* changed) override;
  int SelectRow(uint64_t id, const SqlText& sql, const SqlArgs& args, Record& buffer, bool* found) override;
  int SelectNumber(uint64_t id, const SqlText& sql, int64_t* number) override;
  void ForgetStatements() override;
  int LastInsertRow(int64_t* row) override;
  int& Depth() override { return m_db->depth; }
  bool& RolledBack() override { return m_db->rolledBack; }
  int BeginTransaction(bool exclusive) override { return Exec(exclusive ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE"); }
  int CommitTransaction() override { return Exec("COMMIT"); }
  int RollbackTransaction() override { return Exec("ROLLBACK"); }
  std::string RowColumn() const override { return "rowid"; }
  std::vector<std::string> KeyValues(int key, const Record& r) const override;
  std::string PlaceKeyValue(SqlArgs& args, int field, const std::string& value) const override;
  std::string PlaceRow(SqlArgs& args, int64_t row) const override;
  std::string PlaceField(SqlArgs& args, const Record& r, int field) const override;

  int Resolve();
  int Attach(bool create);
  int CheckSchema();
  int CreateTable();
  sqlite3_stmt* Prepare(const std::string& sql);
  // The statement named id (prepared from sql() the first time), reset,
  // with args bound in order.
  sqlite3_stmt* Prepared(uint64_t id, const SqlText& sql, const SqlArgs& args);
  int SqlFail(int rc);
  int Exec(const std::string& sql);
  void ReadRow(sqlite3_stmt* s, Record& r);

  std::string m_path;  // the database file
  std::shared_ptr<Database> m_db;
  std::map<std::string, sqlite3_stmt*> m_statements;       // the checks of the open, by text
  std::unordered_map<uint64_t, sqlite3_stmt*> m_prepared;  // by SqlStatementId

  // The sequential scan: the statement and where it stands.
  void EndScan() {
    if (m_scan) sqlite3_reset(m_scan);
    m_scanning = false;
  }
  bool m_scanOn = false;
  sqlite3_stmt* m_scan = nullptr;  // records from a row on, in file order
  bool m_scanning = false;         // m_scan is running
  int64_t m_scanRow = 0;           // the row it read last
  int64_t m_scanChanges = 0;       // the connection's changes at that read
};

int KeyedBackend::Resolve() {
  std::string file, table;
  SplitTableName(m_owner.Name(), &file, &table);
  if (file.empty()) return Fail(BadNameError);
  if (table.empty()) {
    size_t slash = file.find_last_of("/\\");
    table = slash == std::string::npos ? file : file.substr(slash + 1);
    if (size_t dot = table.rfind('.'); dot != std::string::npos) table.resize(dot);
  }
  m_path = LookUpPath(file);
  m_table = table;
  MapDeclaration();
  return Ok();
}

// Connects to the database (sharing the process's connection to it).
int KeyedBackend::Attach(bool create) {
  bool exists = false;
  if (int rc = CheckRegularFile(m_path, &exists)) return Fail(rc);
  if (!exists && !create) {
    size_t slash = m_path.find_last_of('/');
    struct stat st;
    if (slash != std::string::npos && slash > 0 && stat(m_path.substr(0, slash).c_str(), &st) != 0)
      return Fail(PathNotFoundError);
    return Fail(FileNotFoundError);
  }
  char real[4096];
  std::lock_guard<std::mutex> lock(g_databasesLock);
  std::string key = exists && realpath(m_path.c_str(), real) ? std::string(real) : m_path;
  std::shared_ptr<Database> db = exists ? Databases()[key].lock() : nullptr;
  if (db && db->owner != getpid()) db = nullptr;
  if (!db) {
    // A book the user may read but not write is told as read-only (not
    // as a share lock refused), so the caller can open it for reading.
    if (exists && Writable() && !MayWrite(key)) return Fail(AccessDeniedError, ReadOnlyText(m_path));
    // The share lock (which also creates a missing file) is the process's:
    // file managers of one program never lock each other out, so a
    // cascade's own scans work beside tables opened denying writes.
    DWORD access = GENERIC_READ | (Writable() ? GENERIC_WRITE : 0);
    HANDLE share = CreateFileA(m_path.c_str(), access, static_cast<DWORD>(ShareFlags(m_mode)), nullptr,
                               exists ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (share == INVALID_HANDLE_VALUE) return Fail(ErrorFromWin32(GetLastError()));
    db = std::make_shared<Database>();
    db->share = share;
    key = realpath(m_path.c_str(), real) ? std::string(real) : m_path;
    db->path = key;
    db->writable = MayWrite(key);
    int flags = (db->writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(key.c_str(), &db->db, flags, nullptr);
    if (rc != SQLITE_OK) {
      int code = FromSqlite(rc);
      return Fail(code == NoError ? FileSystemError : code, db->db ? sqlite3_errmsg(db->db) : "");
    }
    sqlite3_extended_result_codes(db->db, 1);
    Harden(*db);
    Databases()[key] = db;
  }
  if (Writable() && !db->writable) return Fail(AccessDeniedError, ReadOnlyText(m_path));
  sqlite3_busy_timeout(db->db, m_owner.LockRecoverTime() * 1000);
  m_db = db;
  return Ok();
}

int KeyedBackend::SqlFail(int rc) {
  int code = FromSqlite(rc);
  if (code == NoError) code = FileSystemError;
  std::string detail;
  if (code == FileSystemError && m_db) detail = sqlite3_errmsg(m_db->db);
  // A file that is no database, or one SQLite finds broken, is told as
  // such (with SQLite's reason), not as a declaration that differs.
  // A write the file or its folder does not allow (a connection opened
  // read-only, or a file whose mode changed since).
  if ((rc & 0xFF) == SQLITE_READONLY) detail = ReadOnlyText(m_path);
  if ((rc & 0xFF) == SQLITE_NOTADB) detail = m_path + ": not an address book";
  if ((rc & 0xFF) == SQLITE_CORRUPT) detail = m_path + ": damaged: " + (m_db ? sqlite3_errmsg(m_db->db) : "");
  return Fail(code, detail);
}

// A name found in the file, fit for a message: control characters become
// blanks and a long name is cut.
std::string Shown(const char* name) {
  std::string out = name ? name : "";
  if (out.size() > 64) out = CutUtf8(out, 64) + "...";
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

// A book is taken only as the framework makes it: every table is listed in
// _mvn_tables, every index is a key's index on such a table, each built of
// the framework's own words, and there is no view or trigger. Anything else
// was planted or made by another program; opening such a book could drop
// it (a table not listed would be made again) or let it grow the file
// without bound (an expression index), so the book is refused with the
// names of what was found, and nothing in it is changed.
int KeyedBackend::CheckSchema() {
  static const char kCatalogue[] =
      "CREATE TABLE _mvn_tables (name TEXT PRIMARY KEY COLLATE NOCASE, layout TEXT NOT NULL)";
  std::vector<std::string> listed;
  {
    sqlite3_stmt* s = Prepare("SELECT name FROM _mvn_tables");
    if (!s) return ErrorCode();
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      listed.push_back(name ? name : "");
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return SqlFail(rc);
  }
  auto isListed = [&](const char* name) {
    for (const std::string& l : listed)
      if (name && CompareNoCase(l, name) == 0) return true;
    return false;
  };
  sqlite3_stmt* s = Prepare("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY rowid");
  if (!s) return ErrorCode();
  std::vector<std::string> found;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    auto text = [&](int i) {
      const char* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      return std::string(t ? t : "");
    };
    const std::string type = text(0), name = text(1), table = text(2);
    const bool hasSql = sqlite3_column_type(s, 3) != SQLITE_NULL;
    const std::string sql = text(3);
    std::string what;
    if (type == "table") {
      if (name == "_mvn_tables") {
        if (sql != kCatalogue) what = "table _mvn_tables made otherwise";
      } else if (name == "sqlite_sequence") {
        if (sql != "CREATE TABLE sqlite_sequence(name,seq)") what = "table sqlite_sequence made otherwise";
      } else if (!isListed(name.c_str())) {
        what = "table " + Shown(name.c_str()) + " (not listed in _mvn_tables)";
      } else if (!IsOwnDdl(sql)) {
        what = "table " + Shown(name.c_str()) + " with constraints or columns of its own";
      }
    } else if (type == "index") {
      const bool automatic = !hasSql && name.rfind("sqlite_autoindex_", 0) == 0;
      const bool key = hasSql && isListed(table.c_str()) && name.size() > table.size() &&
                       CompareNoCase(std::string_view(name).substr(0, table.size()), table) == 0 &&
                       name[table.size()] == '$' && IsOwnDdl(sql);
      if (!automatic && !key) what = "index " + Shown(name.c_str());
    } else {
      what = Shown(type.c_str()) + " " + Shown(name.c_str());
    }
    if (!what.empty() && found.size() < 5) found.push_back(what);
  }
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc);
  if (found.empty()) return Ok();
  std::string list;
  for (const std::string& f : found) list += (list.empty() ? "" : ", ") + f;
  return Fail(LayoutDiffersError, m_path + ": the book holds what this program does not make (" + list +
                                      "); it was not opened and nothing in it was changed");
}

int KeyedBackend::Exec(const std::string& sql) {
  m_db->started = NowMs();
  int rc = sqlite3_exec(m_db->db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? Ok() : SqlFail(rc);
}

sqlite3_stmt* KeyedBackend::Prepare(const std::string& sql) {
  m_db->started = NowMs();
  auto it = m_statements.find(sql);
  if (it != m_statements.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(m_db->db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) {
    SqlFail(rc);
    return nullptr;
  }
  m_statements[sql] = s;
  return s;
}

// Checks that the database is ours and the table matches the declaration;
// creates what is missing when allowed. Nothing is written to a database
// that is not ours.
int KeyedBackend::Verify(bool create) {
  m_db->started = NowMs();
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(
      m_db->db, "SELECT count(*), sum(type = 'table' AND name = '_mvn_tables') FROM sqlite_master", -1, &s, nullptr);
  if (rc != SQLITE_OK) return SqlFail(rc);
  rc = sqlite3_step(s);
  int64_t objects = sqlite3_column_int64(s, 0), ours = sqlite3_column_int64(s, 1);
  sqlite3_finalize(s);
  if (rc != SQLITE_ROW) return SqlFail(rc);
  if (!ours) {
    // Only an empty database becomes a book.
    if (objects > 0) return Fail(LayoutDiffersError, m_path + ": not an address book");
    if (!m_db->writable) return Fail(AccessDeniedError, ReadOnlyText(m_path));
    if (int e = Exec("CREATE TABLE IF NOT EXISTS _mvn_tables (name TEXT PRIMARY KEY COLLATE NOCASE, "
                     "layout TEXT NOT NULL)"))
      return e;
  } else if (int e = CheckSchema()) {
    return e;
  }
  // A database of ours keeps its rollback journal.
  if (sqlite3_stmt* j = Prepare("PRAGMA journal_mode")) {
    if (sqlite3_step(j) == SQLITE_ROW) {
      const char* mode = reinterpret_cast<const char*>(sqlite3_column_text(j, 0));
      bool wal = mode && std::strcmp(mode, "wal") == 0;
      sqlite3_reset(j);
      if (wal && m_db->writable) Exec("PRAGMA journal_mode = DELETE");
    }
    sqlite3_reset(j);
  }
  sqlite3_stmt* q = Prepare("SELECT layout FROM _mvn_tables WHERE name = ?1");
  if (!q) return ErrorCode();
  sqlite3_bind_text(q, 1, m_table.c_str(), -1, SQLITE_TRANSIENT);
  rc = sqlite3_step(q);
  bool listed = rc == SQLITE_ROW;
  std::string layout = listed ? reinterpret_cast<const char*>(sqlite3_column_text(q, 0)) : "";
  sqlite3_reset(q);
  if (listed) {
    // Listed but gone (dropped by hand): made again like a missing table.
    sqlite3_stmt* t = Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    if (!t) return ErrorCode();
    sqlite3_bind_text(t, 1, m_table.c_str(), -1, SQLITE_TRANSIENT);
    int trc = sqlite3_step(t);
    bool present = trc == SQLITE_ROW && sqlite3_column_int64(t, 0) > 0;
    sqlite3_reset(t);
    if (trc != SQLITE_ROW) return SqlFail(trc);
    if (!present) listed = false;
  }
  if (listed) {
    if (layout != m_owner.GetLayout()->Signature())
      return Fail(LayoutDiffersError, "The record declaration of " + m_table + " differs from the file");
    // Every declared key must have its index (index names, like SQLite's own,
    // compare without case: a declaration may spell a key in another case).
    sqlite3_stmt* ix = Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = ?1 COLLATE NOCASE");
    if (!ix) return ErrorCode();
    for (const KeyDef& k : m_owner.Keys()) {
      if (KeyFields(m_owner.FindKey(k.name)).empty()) continue;
      sqlite3_reset(ix);
      sqlite3_bind_text(ix, 1, IndexName(k).c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(ix) != SQLITE_ROW) return SqlFail(sqlite3_errcode(m_db->db));
      if (sqlite3_column_int64(ix, 0) == 0) {
        sqlite3_reset(ix);
        return Fail(KeysInvalidError);
      }
    }
    sqlite3_reset(ix);
    return Ok();
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlFail(rc);
  if (!create) return Fail(FileNotFoundError);
  if (!m_db->writable) return Fail(AccessDeniedError, ReadOnlyText(m_path));
  return CreateTable();
}

int KeyedBackend::CreateTable() {
  const Layout& l = *m_owner.GetLayout();
  std::string ddl = CreateTableSql(true);
  bool own = m_db->depth == 0;
  if (own && Exec("SAVEPOINT mvn_create")) return ErrorCode();
  ForgetStatements();
  int e = Exec("DROP TABLE IF EXISTS " + QuoteName(m_table));
  if (!e) e = Exec(ddl);
  if (!e) {
    sqlite3_stmt* ins = Prepare("INSERT OR REPLACE INTO _mvn_tables (name, layout) VALUES (?1, ?2)");
    if (!ins)
      e = ErrorCode();
    else {
      sqlite3_bind_text(ins, 1, m_table.c_str(), -1, SQLITE_TRANSIENT);
      std::string sig = l.Signature();
      sqlite3_bind_text(ins, 2, sig.c_str(), -1, SQLITE_TRANSIENT);
      int rc = sqlite3_step(ins);
      sqlite3_reset(ins);
      if (rc != SQLITE_DONE) e = SqlFail(rc);
    }
  }
  if (!e) e = BuildKeys();
  if (own) {
    if (e) {
      int keep = e;
      std::string text = ErrorText();
      Exec("ROLLBACK TO mvn_create");
      Exec("RELEASE mvn_create");
      return Fail(keep, text);
    }
    if (int c = Exec("RELEASE mvn_create")) return c;
  }
  return e ? e : Ok();
}

int KeyedBackend::BuildKeys() {
  if (m_db) return SqlBackend::BuildKeys();
  // Opened for the rebuild only: the table must be there and match its
  // declaration; only its indexes may be missing.
  m_mode = ReadWrite | DenyWrite;
  if (int e = Resolve()) return e;
  int e = Attach(false);
  if (!e) e = Verify(false);
  if (!e || e == KeysInvalidError) e = SqlBackend::BuildKeys();
  std::string text = ErrorText();
  Close();
  return e ? Fail(e, text) : Ok();
}

// Finds the database and the table, and connects.
int KeyedBackend::Connect(bool create) {
  if (int e = Resolve()) return e;
  return Attach(create);
}

int KeyedBackend::Create() {
  bool wasOpen = m_db != nullptr;
  if (!wasOpen) {
    m_mode = Shared;
    if (int e = Resolve()) return e;
    if (int e = Attach(true)) {
      Close();
      return e;
    }
  }
  int e = NoError;
  // A database that is not ours is not touched.
  if (m_db) m_db->started = NowMs();
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(m_db->db,
                              "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                              "name NOT IN ('_mvn_tables', 'sqlite_sequence') AND "
                              "(SELECT count(*) FROM sqlite_master WHERE name = '_mvn_tables') = 0",
                              -1, &s, nullptr);
  if (rc != SQLITE_OK)
    e = SqlFail(rc);
  else {
    rc = sqlite3_step(s);
    if (rc != SQLITE_ROW)
      e = SqlFail(rc);
    else if (sqlite3_column_int64(s, 0) > 0)
      e = Fail(LayoutDiffersError, m_path + ": not an address book");
  }
  sqlite3_finalize(s);
  if (!e && !m_db->writable) e = Fail(AccessDeniedError, ReadOnlyText(m_path));
  if (!e)
    e = Exec(
        "CREATE TABLE IF NOT EXISTS _mvn_tables (name TEXT PRIMARY KEY COLLATE NOCASE, "
        "layout TEXT NOT NULL)");
  if (!e) e = CreateTable();
  if (!wasOpen) {
    std::string text = ErrorText();
    Close();
    if (e) return Fail(e, text);
  }
  return e ? e : Ok();
}

void KeyedBackend::ForgetStatements() {
  for (auto& [id, s] : m_prepared) sqlite3_finalize(s);
  m_prepared.clear();
  if (m_scan) sqlite3_finalize(m_scan);
  m_scan = nullptr;
  m_scanning = false;
}

void KeyedBackend::Disconnect() {
  ForgetStatements();
  m_scanOn = false;
  for (auto& [sql, s] : m_statements) sqlite3_finalize(s);
  m_statements.clear();
  if (m_db) {
    std::lock_guard<std::mutex> lock(g_databasesLock);
    m_db.reset();
  }
}

void KeyedBackend::ReadRow(sqlite3_stmt* s, Record& r) {
  m_current = sqlite3_column_int64(s, 0);
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount(); ++i) {
    FieldType t = l.Field(i).type;
    if (IsNumberType(t))
      r.SetNumber(i, sqlite3_column_int64(s, i + 1));
    else {
      const char* p = static_cast<const char*>(sqlite3_column_blob(s, i + 1));
      int n = sqlite3_column_bytes(s, i + 1);
      r.SetText(i, std::string_view(p ? p : "", static_cast<size_t>(n)));
    }
  }
}

std::vector<std::string> KeyedBackend::KeyValues(int key, const Record& r) const {
  std::vector<std::string> values;
  for (int f : KeyFields(key)) {
    FieldType t = m_owner.GetLayout()->Field(f).type;
    values.push_back(IsNumberType(t) ? std::to_string(r.GetNumber(f)) : Clip(r.Raw(f)));
  }
  return values;
}

std::string KeyedBackend::PlaceKeyValue(SqlArgs& args, int field, const std::string& value) const {
  SqlValue v;
  if (IsNumberType(m_owner.GetLayout()->Field(field).type)) {
    v.kind = SqlValue::Kind::Number;
    v.number = std::strtoll(value.c_str(), nullptr, 10);
  } else {
    v.kind = SqlValue::Kind::Text;
    v.text = value;
  }
  args.push_back(std::move(v));
  return "?";
}

std::string KeyedBackend::PlaceRow(SqlArgs& args, int64_t row) const {
  args.push_back(SqlValue{SqlValue::Kind::Number, row, {}});
  return "?";
}

// Numbers as INTEGER, blobs as BLOB, texts as TEXT; CSTRING texts of a key
// without trailing blanks.
std::string KeyedBackend::PlaceField(SqlArgs& args, const Record& r, int field) const {
  FieldType t = m_owner.GetLayout()->Field(field).type;
  SqlValue v;
  if (IsNumberType(t)) {
    if (field != m_rowField || r.GetNumber(field) != 0) {
      v.kind = SqlValue::Kind::Number;
      v.number = r.GetNumber(field);
    }
  } else if (t == FieldType::Blob) {
    v.kind = SqlValue::Kind::Blob;
    v.text = r.Raw(field);
  } else {
    v.kind = SqlValue::Kind::Text;
    v.text = t == FieldType::CString && FieldInKey(field) ? Clip(r.Raw(field)) : r.Raw(field);
  }
  args.push_back(std::move(v));
  return "?";
}

sqlite3_stmt* KeyedBackend::Prepared(uint64_t id, const SqlText& sql, const SqlArgs& args) {
  m_db->started = NowMs();
  sqlite3_stmt*& s = m_prepared[id];
  if (s) {
    sqlite3_reset(s);
  } else {
    std::string text = sql();
    int rc = sqlite3_prepare_v3(m_db->db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s,
                                nullptr);
    if (rc != SQLITE_OK) {
      m_prepared.erase(id);
      SqlFail(rc);
      return nullptr;
    }
  }
  // Every parameter is bound on every use: a statement never runs with a
  // value left from its last use.
  if (sqlite3_bind_parameter_count(s) != static_cast<int>(args.size())) {
    Fail(FileSystemError, "A statement's values do not match its parameters");
    return nullptr;
  }
  // The values outlive the statement's run (it is reset before they go).
  int slot = 1;
  for (const SqlValue& v : args) {
    switch (v.kind) {
      case SqlValue::Kind::Null:
        sqlite3_bind_null(s, slot);
        break;
      case SqlValue::Kind::Number:
        sqlite3_bind_int64(s, slot, v.number);
        break;
      case SqlValue::Kind::Text:
        sqlite3_bind_text(s, slot, v.text.data(), static_cast<int>(v.text.size()), SQLITE_STATIC);
        break;
      case SqlValue::Kind::Blob:
        sqlite3_bind_blob(s, slot, v.text.data(), static_cast<int>(v.text.size()), SQLITE_STATIC);
        break;
    }
    ++slot;
  }
  return s;
}

// Next in file order with the sequential scan on: the running statement
// gives the record after the last one read, as the keyset cursor's seek
// would, as long as nothing has moved the cursor or changed the database
// through this connection since (another program cannot change it while the
// statement runs: it holds the read lock). Otherwise, and for anything but
// file order, the statement starts again after the last record read or the
// cursor's own step reads.
int KeyedBackend::Next(Record& buffer, size_t* bytes) {
  if (!m_scanOn || !IsOpen() || m_cursorKey >= 0 || (m_state != State::Start && m_state != State::Read)) {
    EndScan();
    return SqlBackend::Next(buffer, bytes);
  }
  if (m_scanning && (m_state != State::Read || m_cursorRow != m_scanRow ||
                     sqlite3_total_changes64(m_db->db) != m_scanChanges))
    EndScan();
  if (!m_scanning) {
    if (!m_scan) {
      std::string sql = "SELECT " + SelectList() + " FROM " + m_quotedTable + " WHERE rowid >= ?1 ORDER BY rowid";
      m_db->started = NowMs();
      int rc = sqlite3_prepare_v3(m_db->db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                  &m_scan, nullptr);
      if (rc != SQLITE_OK) {
        m_scan = nullptr;
        return SqlFail(rc);
      }
    }
    const bool start = m_state == State::Start;
    if (!start && m_cursorRow == INT64_MAX) return Fail(RecordNotAvailableError);
    sqlite3_bind_int64(m_scan, 1, start ? INT64_MIN : m_cursorRow + 1);
    m_scanning = true;
  }
  // Each step is a statement's run for the time limit.
  m_db->started = NowMs();
  int rc = sqlite3_step(m_scan);
  if (rc != SQLITE_ROW) {
    EndScan();
    if (rc == SQLITE_DONE) return Fail(RecordNotAvailableError);
    // A statement the connection gave up (a rollback through another
    // manager, say): the cursor's own step reads on, or reports the error.
    return SqlBackend::Next(buffer, bytes);
  }
  ReadRow(m_scan, buffer);
  m_state = State::Read;
  m_cursorValues.clear();
  m_cursorRow = m_scanRow = m_current;
  m_scanChanges = sqlite3_total_changes64(m_db->db);
  m_position = {m_current, {}};
  if (bytes) *bytes = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  return Ok();
}

int KeyedBackend::Change(uint64_t id, const SqlText& sql, const SqlArgs& args, int64_t* changed) {
  sqlite3_stmt* s = Prepared(id, sql, args);
  if (!s) return ErrorCode();
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc);
  *changed = sqlite3_changes(m_db->db);
  return Ok();
}

int KeyedBackend::SelectRow(uint64_t id, const SqlText& sql, const SqlArgs& args, Record& buffer, bool* found) {
  sqlite3_stmt* s = Prepared(id, sql, args);
  if (!s) return ErrorCode();
  int rc = sqlite3_step(s);
  *found = rc == SQLITE_ROW;
  if (rc == SQLITE_ROW) ReadRow(s, buffer);
  sqlite3_reset(s);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Ok() : SqlFail(rc);
}

int KeyedBackend::SelectNumber(uint64_t id, const SqlText& sql, int64_t* number) {
  sqlite3_stmt* s = Prepared(id, sql, {});
  if (!s) return ErrorCode();
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) *number = sqlite3_column_int64(s, 0);
  sqlite3_reset(s);
  return rc == SQLITE_ROW ? Ok() : SqlFail(rc);
}

int KeyedBackend::LastInsertRow(int64_t* row) {
  *row = sqlite3_last_insert_rowid(m_db->db);
  return Ok();
}

int KeyedBackend::Copy(const std::string& newName) {
  std::string file, table;
  SplitTableName(newName, &file, &table);
  if (file.empty()) return Fail(BadNameError);
  bool wasOpen = m_db != nullptr;
  if (!wasOpen) {
    m_mode = ReadOnly | DenyNone;
    if (int e = Resolve()) return e;
    if (int e = Attach(false)) {
      Close();
      return e;
    }
  }
  int e = NoError;
  bool exists = false;
  if (int rc = CheckRegularFile(file, &exists)) e = Fail(rc);
  sqlite3* dest = nullptr;
  if (!e) {
    int rc = sqlite3_open_v2(file.c_str(), &dest, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) e = Fail(FromSqlite(rc) ? FromSqlite(rc) : FileSystemError);
  }
  if (!e) {
    sqlite3_backup* b = sqlite3_backup_init(dest, "main", m_db->db, "main");
    if (!b)
      e = Fail(FromSqlite(sqlite3_errcode(dest)) ? FromSqlite(sqlite3_errcode(dest)) : FileSystemError,
               sqlite3_errmsg(dest));
    else {
      int rc = sqlite3_backup_step(b, -1);
      sqlite3_backup_finish(b);
      if (rc != SQLITE_DONE) e = Fail(FromSqlite(rc) ? FromSqlite(rc) : FileSystemError, sqlite3_errmsg(dest));
    }
  }
  if (dest) sqlite3_close_v2(dest);
  if (!wasOpen) Close();
  return e ? Fail(e) : Ok();
}

int KeyedBackend::Remove() {
  if (m_db) return Fail(AccessDeniedError, "The file is open");
  if (int e = Resolve()) return e;
  bool exists = false;
  if (int rc = CheckRegularFile(m_path, &exists)) return Fail(rc);
  if (!exists) return Fail(FileNotFoundError);
  // Nobody (in any process) may have it open.
  HANDLE h = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(ErrorFromWin32(GetLastError()));
  CloseHandle(h);
  {
    std::lock_guard<std::mutex> lock(g_databasesLock);
    char real[4096];
    std::string key = realpath(m_path.c_str(), real) ? std::string(real) : m_path;
    if (auto it = Databases().find(key); it != Databases().end())
      if (auto open = it->second.lock(); open && open->owner == getpid())
        return Fail(AccessDeniedError, "The file is open");
  }
  if (::unlink(m_path.c_str()) != 0)
    return Fail(errno == EACCES || errno == EPERM ? AccessDeniedError : FileSystemError);
  ::unlink((m_path + "-journal").c_str());
  return Ok();
}

}  // namespace

std::unique_ptr<FileBackend> MakeKeyedBackend(FileManager& owner) { return std::make_unique<KeyedBackend>(owner); }

}  // namespace mvn::framework

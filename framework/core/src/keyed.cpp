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
// Open and share modes are also registered through the kernel's CreateFileA
// share locks, once per process and file (by its first opener), so an
// exclusive open by another process is seen while the file managers of one
// program never lock each other out.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "framework/core/src/backend.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::framework {
namespace {

struct Database {
  sqlite3* db = nullptr;
  std::string path;
  bool writable = false;
  int depth = 0;  // transaction nesting
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

std::string Quote(std::string_view name) {
  std::string q = "\"";
  for (char c : name) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

bool IsNumberType(FieldType t) { return t == FieldType::Long || t == FieldType::Byte; }

class KeyedBackend : public FileBackend {
 public:
  explicit KeyedBackend(FileManager& owner) : FileBackend(owner) {}
  ~KeyedBackend() override { Close(); }

  int Open(unsigned mode) override;
  int Create() override;
  int Close() override;
  bool IsOpen() const override { return m_db != nullptr; }
  std::string FilePath() const override { return m_path; }
  int BuildKeys() override;
  int Fetch(int key, Record& buffer) override;
  int Set(int key, const Record* from) override;
  int Reset(int key, const Position& position) override;
  int Next(Record& buffer, size_t* bytes) override { return Step(buffer, bytes, true); }
  int Previous(Record& buffer, size_t* bytes) override { return Step(buffer, bytes, false); }
  int Reget(const Position& position, Record& buffer) override;
  int Insert(Record& buffer, size_t length) override;
  int Update(const Record& buffer) override;
  int Delete() override;
  int64_t Records() override;
  int Copy(const std::string& newName) override;
  int Remove() override;
  int Flush() override;
  int Begin() override;
  int BeginExclusive() override;
  int Commit() override;
  int Rollback() override;

 private:
  enum class State { None, Start, From, Reset, Read };

  int Resolve();
  int Attach(bool create);
  int Verify(bool create);
  int CreateTable();
  std::string IndexName(const KeyDef& key) const { return m_table + "$" + key.name; }
  // Key columns (field indexes) of key; empty for file order or the rowid key.
  std::vector<int> KeyFields(int key) const;
  sqlite3_stmt* Prepare(const std::string& sql);
  int SqlFail(int rc);
  int Exec(const std::string& sql);
  void BindField(sqlite3_stmt* s, int slot, const Record& r, int field, bool asKey) const;
  void BindKeyValues(sqlite3_stmt* s, int* slot, int key, const std::vector<std::string>& values) const;
  std::vector<std::string> KeyValues(int key, const Record& r) const;
  std::string SelectList() const;
  void ReadRow(sqlite3_stmt* s, Record& r);
  int Step(Record& buffer, size_t* bytes, bool forward);
  bool FieldInKey(int field) const;
  bool Writable() const { return (m_mode & 0x0F) != ReadOnly; }

  std::string m_path;   // the database file
  std::string m_table;  // the table
  std::shared_ptr<Database> m_db;
  unsigned m_mode = Shared;
  int m_rowField = -1;  // the auto-increment field that is the row id, or -1
  std::map<std::string, sqlite3_stmt*> m_statements;
  // Cursor.
  State m_state = State::None;
  int m_cursorKey = -1;
  std::vector<std::string> m_cursorValues;
  int64_t m_cursorRow = 0;
  int64_t m_current = 0;  // row of the current record, 0 = none
  bool m_bufferTx = false;
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
  m_rowField = -1;
  for (const KeyDef& k : m_owner.Keys())
    if (k.autoIncrement && k.fields.size() == 1) {
      int f = m_owner.GetLayout()->FindField(k.fields[0]);
      if (f >= 0 && m_owner.GetLayout()->Field(f).type == FieldType::Long) m_rowField = f;
    }
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
    db->writable = ::access(key.c_str(), W_OK) == 0;
    int flags = (db->writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(key.c_str(), &db->db, flags, nullptr);
    if (rc != SQLITE_OK) {
      int code = FromSqlite(rc);
      return Fail(code == NoError ? FileSystemError : code, db->db ? sqlite3_errmsg(db->db) : "");
    }
    sqlite3_extended_result_codes(db->db, 1);
    Databases()[key] = db;
  }
  if (Writable() && !db->writable) return Fail(AccessDeniedError);
  sqlite3_busy_timeout(db->db, m_owner.LockRecoverTime() * 1000);
  m_db = db;
  return Ok();
}

int KeyedBackend::SqlFail(int rc) {
  int code = FromSqlite(rc);
  if (code == NoError) code = FileSystemError;
  std::string detail;
  if (code == FileSystemError && m_db) detail = sqlite3_errmsg(m_db->db);
  return Fail(code, detail);
}

int KeyedBackend::Exec(const std::string& sql) {
  int rc = sqlite3_exec(m_db->db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? Ok() : SqlFail(rc);
}

sqlite3_stmt* KeyedBackend::Prepare(const std::string& sql) {
  auto it = m_statements.find(sql);
  if (it != m_statements.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(m_db->db, sql.c_str(), -1, &s, nullptr);
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
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(
      m_db->db, "SELECT count(*), sum(name = '_mvn_tables') FROM sqlite_master WHERE type = 'table'", -1, &s, nullptr);
  if (rc != SQLITE_OK) return SqlFail(rc);
  rc = sqlite3_step(s);
  int64_t tables = sqlite3_column_int64(s, 0), ours = sqlite3_column_int64(s, 1);
  sqlite3_finalize(s);
  if (rc != SQLITE_ROW) return SqlFail(rc);
  if (!ours) {
    if (tables > 0) return Fail(LayoutDiffersError, "Not a keyed data file: " + m_path);
    if (!m_db->writable) return Fail(AccessDeniedError);
    if (int e = Exec("CREATE TABLE IF NOT EXISTS _mvn_tables (name TEXT PRIMARY KEY COLLATE NOCASE, "
                     "layout TEXT NOT NULL)"))
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
    // Every declared key must have its index.
    sqlite3_stmt* ix = Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = ?1");
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
  if (!m_db->writable) return Fail(AccessDeniedError);
  return CreateTable();
}

int KeyedBackend::CreateTable() {
  const Layout& l = *m_owner.GetLayout();
  std::string ddl = "CREATE TABLE " + Quote(m_table) + " (";
  if (m_rowField < 0) ddl += "_row INTEGER PRIMARY KEY AUTOINCREMENT";
  for (int i = 0; i < l.FieldCount(); ++i) {
    const FieldDef& f = l.Field(i);
    if (i || m_rowField < 0) ddl += ", ";
    ddl += Quote(f.name);
    if (i == m_rowField)
      ddl += " INTEGER PRIMARY KEY AUTOINCREMENT";
    else if (IsNumberType(f.type))
      ddl += " INTEGER NOT NULL DEFAULT 0";
    else if (f.type == FieldType::Blob)
      ddl += " BLOB NOT NULL DEFAULT x''";
    else
      ddl += " TEXT COLLATE NOCASE NOT NULL DEFAULT ''";
  }
  ddl += ")";
  bool own = m_db->depth == 0;
  if (own && Exec("SAVEPOINT mvn_create")) return ErrorCode();
  int e = Exec("DROP TABLE IF EXISTS " + Quote(m_table));
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
  if (!m_db) {
    // Opened for the rebuild only: the table must be there and match its
    // declaration; only its indexes may be missing.
    m_mode = ReadWrite | DenyWrite;
    if (int e = Resolve()) return e;
    int e = Attach(false);
    if (!e) e = Verify(false);
    if (!e || e == KeysInvalidError) e = BuildKeys();
    std::string text = ErrorText();
    Close();
    return e ? Fail(e, text) : Ok();
  }
  for (size_t k = 0; k < m_owner.Keys().size(); ++k) {
    const KeyDef& key = m_owner.Keys()[k];
    std::vector<int> fields = KeyFields(static_cast<int>(k));
    if (fields.empty()) continue;
    std::string cols;
    for (int f : fields) cols += (cols.empty() ? "" : ", ") + Quote(m_owner.GetLayout()->Field(f).name);
    if (int e = Exec("DROP INDEX IF EXISTS " + Quote(IndexName(key)))) return e;
    if (int e = Exec(std::string("CREATE ") + (key.unique ? "UNIQUE " : "") + "INDEX " + Quote(IndexName(key)) +
                     " ON " + Quote(m_table) + " (" + cols + ")"))
      return e;
  }
  return Ok();
}

std::vector<int> KeyedBackend::KeyFields(int key) const {
  std::vector<int> fields;
  if (key < 0 || key >= static_cast<int>(m_owner.Keys().size())) return fields;
  for (const std::string& name : m_owner.Keys()[static_cast<size_t>(key)].fields) {
    int f = m_owner.GetLayout()->FindField(name);
    if (f >= 0) fields.push_back(f);
  }
  if (fields.size() == 1 && fields[0] == m_rowField) fields.clear();
  return fields;
}

bool KeyedBackend::FieldInKey(int field) const {
  for (const KeyDef& k : m_owner.Keys())
    for (const std::string& name : k.fields)
      if (m_owner.GetLayout()->FindField(name) == field) return true;
  return false;
}

int KeyedBackend::Open(unsigned mode) {
  if (m_db) return Fail(AlreadyOpenError);
  m_mode = mode;
  if (int e = Resolve()) return e;
  int e = Attach(m_owner.GetCreate());
  if (!e) e = Verify(m_owner.GetCreate());
  if (e) {
    std::string text = ErrorText();
    Close();
    return Fail(e, text);
  }
  m_state = State::None;
  m_current = 0;
  return Ok();
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
      e = Fail(LayoutDiffersError, "Not a keyed data file: " + m_path);
  }
  sqlite3_finalize(s);
  if (!e && !m_db->writable) e = Fail(AccessDeniedError);
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

int KeyedBackend::Close() {
  if (m_bufferTx && m_db) {
    m_bufferTx = false;
    Commit();
  }
  for (auto& [sql, s] : m_statements) sqlite3_finalize(s);
  m_statements.clear();
  if (m_db) {
    std::lock_guard<std::mutex> lock(g_databasesLock);
    m_db.reset();
  }
  m_state = State::None;
  m_current = 0;
  return Ok();
}

std::string KeyedBackend::SelectList() const {
  std::string list = "rowid";
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount(); ++i) list += ", " + Quote(l.Field(i).name);
  return list;
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

void KeyedBackend::BindField(sqlite3_stmt* s, int slot, const Record& r, int field, bool asKey) const {
  FieldType t = m_owner.GetLayout()->Field(field).type;
  if (IsNumberType(t)) {
    if (field == m_rowField && r.GetNumber(field) == 0)
      sqlite3_bind_null(s, slot);
    else
      sqlite3_bind_int64(s, slot, r.GetNumber(field));
    return;
  }
  const std::string& raw = r.Raw(field);
  if (t == FieldType::Blob) {
    sqlite3_bind_blob(s, slot, raw.data(), static_cast<int>(raw.size()), SQLITE_TRANSIENT);
    return;
  }
  if (asKey || (t == FieldType::CString && FieldInKey(field))) {
    std::string clipped = Clip(raw);
    sqlite3_bind_text(s, slot, clipped.data(), static_cast<int>(clipped.size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_text(s, slot, raw.data(), static_cast<int>(raw.size()), SQLITE_TRANSIENT);
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

void KeyedBackend::BindKeyValues(sqlite3_stmt* s, int* slot, int key, const std::vector<std::string>& values) const {
  std::vector<int> fields = KeyFields(key);
  for (size_t i = 0; i < fields.size() && i < values.size(); ++i) {
    FieldType t = m_owner.GetLayout()->Field(fields[i]).type;
    if (IsNumberType(t))
      sqlite3_bind_int64(s, (*slot)++, std::strtoll(values[i].c_str(), nullptr, 10));
    else
      sqlite3_bind_text(s, (*slot)++, values[i].data(), static_cast<int>(values[i].size()), SQLITE_TRANSIENT);
  }
}

int KeyedBackend::Fetch(int key, Record& buffer) {
  if (!m_db) return Fail(NotOpenError);
  if (key < 0) return Fail(BadNameError, "No such key");
  std::vector<int> fields = KeyFields(key);
  std::string where;
  if (fields.empty()) where = "rowid = ?1";
  for (size_t i = 0; i < fields.size(); ++i)
    where += (i ? " AND " : "") + Quote(m_owner.GetLayout()->Field(fields[i]).name) + " = ?" + std::to_string(i + 1);
  sqlite3_stmt* s =
      Prepare("SELECT " + SelectList() + " FROM " + Quote(m_table) + " WHERE " + where + " ORDER BY rowid LIMIT 1");
  if (!s) return ErrorCode();
  if (fields.empty())
    sqlite3_bind_int64(s, 1, buffer.GetNumber(m_rowField));
  else {
    int slot = 1;
    BindKeyValues(s, &slot, key, KeyValues(key, buffer));
  }
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) {
    sqlite3_reset(s);
    return Fail(RecordNotFoundError);
  }
  if (rc != SQLITE_ROW) {
    sqlite3_reset(s);
    return SqlFail(rc);
  }
  ReadRow(s, buffer);
  sqlite3_reset(s);
  m_position = {m_current, KeyValues(key, buffer)};
  return Ok();
}

int KeyedBackend::Set(int key, const Record* from) {
  if (!m_db) return Fail(NotOpenError);
  m_cursorKey = key;
  if (from && key >= 0) {
    m_state = State::From;
    m_cursorValues = KeyValues(key, *from);
    if (KeyFields(key).empty()) m_cursorValues = {std::to_string(from->GetNumber(m_rowField))};
  } else {
    m_state = State::Start;
    m_cursorValues.clear();
  }
  return Ok();
}

int KeyedBackend::Reset(int key, const Position& position) {
  if (!m_db) return Fail(NotOpenError);
  m_cursorKey = key;
  m_state = State::Reset;
  m_cursorValues = position.values;
  m_cursorRow = position.row;
  // The key values are taken from the record itself while it exists, so a
  // position taken in another order (or after an insert) serves any key.
  Record scratch(m_owner.GetLayout());
  int64_t keep = m_current;
  Position before = m_position;
  if (Reget(position, scratch) == NoError) m_cursorValues = KeyValues(key, scratch);
  m_current = keep;
  m_position = before;
  if (m_cursorValues.size() != KeyFields(key).size()) return Fail(RecordNotFoundError);
  return Ok();
}

int KeyedBackend::Step(Record& buffer, size_t* bytes, bool forward) {
  if (!m_db) return Fail(NotOpenError);
  if (m_state == State::None) return Fail(RecordNotAvailableError);
  std::vector<int> fields = KeyFields(m_cursorKey);
  std::string cols;
  for (int f : fields) cols += Quote(m_owner.GetLayout()->Field(f).name) + ", ";
  std::string order;
  for (int f : fields) order += Quote(m_owner.GetLayout()->Field(f).name) + (forward ? " ASC, " : " DESC, ");
  order += forward ? "rowid ASC" : "rowid DESC";
  std::string keyTuple = "(" + cols.substr(0, cols.size() >= 2 ? cols.size() - 2 : 0) + ")";
  std::string fullTuple = "(" + cols + "rowid)";
  size_t n = fields.size();
  auto marks = [](size_t count) {
    std::string m = "(";
    for (size_t i = 0; i < count; ++i) m += i ? ", ?" : "?";
    return m + ")";
  };
  std::string where;
  bool bindRow = false, bindValues = false;
  switch (m_state) {
    case State::Start:
      break;
    case State::From:
      bindValues = true;
      if (n == 0) {
        where = forward ? "rowid >= ?" : "rowid <= ?";
        bindValues = false;
        bindRow = true;
        m_cursorRow = m_cursorValues.empty() ? 0 : std::strtoll(m_cursorValues[0].c_str(), nullptr, 10);
      } else {
        where = keyTuple + (forward ? " >= " : " <= ") + marks(n);
      }
      break;
    case State::Reset:
    case State::Read:
      bindValues = n > 0;
      bindRow = true;
      where = fullTuple + (forward ? (m_state == State::Reset ? " >= " : " > ") : " < ") + marks(n + 1);
      break;
    case State::None:
      break;
  }
  std::string sql = "SELECT " + SelectList() + " FROM " + Quote(m_table) + (where.empty() ? "" : " WHERE " + where) +
                    " ORDER BY " + order + " LIMIT 1";
  sqlite3_stmt* s = Prepare(sql);
  if (!s) return ErrorCode();
  int slot = 1;
  if (bindValues) BindKeyValues(s, &slot, m_cursorKey, m_cursorValues);
  if (bindRow) sqlite3_bind_int64(s, slot++, m_cursorRow);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) {
    sqlite3_reset(s);
    return Fail(RecordNotAvailableError);
  }
  if (rc != SQLITE_ROW) {
    sqlite3_reset(s);
    return SqlFail(rc);
  }
  ReadRow(s, buffer);
  sqlite3_reset(s);
  m_state = State::Read;
  m_cursorValues = KeyValues(m_cursorKey, buffer);
  m_cursorRow = m_current;
  m_position = {m_current, m_cursorValues};
  if (bytes) *bytes = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  return Ok();
}

int KeyedBackend::Reget(const Position& position, Record& buffer) {
  if (!m_db) return Fail(NotOpenError);
  sqlite3_stmt* s = Prepare("SELECT " + SelectList() + " FROM " + Quote(m_table) + " WHERE rowid = ?1");
  if (!s) return ErrorCode();
  sqlite3_bind_int64(s, 1, position.row);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    ReadRow(s, buffer);
    sqlite3_reset(s);
    m_position = position;
    return Ok();
  }
  sqlite3_reset(s);
  return rc == SQLITE_DONE ? Fail(RecordNotFoundError) : SqlFail(rc);
}

int KeyedBackend::Insert(Record& buffer, size_t) {
  if (!m_db) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_bufferAdds && !m_bufferTx) {
    if (int e = Begin()) return e;
    m_bufferTx = true;
  }
  const Layout& l = *m_owner.GetLayout();
  std::string cols, marks;
  for (int i = 0; i < l.FieldCount(); ++i) {
    cols += (i ? ", " : "") + Quote(l.Field(i).name);
    marks += (i ? ", ?" : "?");
  }
  sqlite3_stmt* s = Prepare("INSERT INTO " + Quote(m_table) + " (" + cols + ") VALUES (" + marks + ")");
  if (!s) return ErrorCode();
  for (int i = 0; i < l.FieldCount(); ++i) BindField(s, i + 1, buffer, i, false);
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc);
  m_current = sqlite3_last_insert_rowid(m_db->db);
  if (m_rowField >= 0) buffer.SetNumber(m_rowField, m_current);
  m_position = {m_current, {}};
  return Ok();
}

int KeyedBackend::Update(const Record& buffer) {
  if (!m_db) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  const Layout& l = *m_owner.GetLayout();
  std::string sets;
  for (int i = 0; i < l.FieldCount(); ++i) sets += (i ? ", " : "") + Quote(l.Field(i).name) + " = ?";
  sqlite3_stmt* s = Prepare("UPDATE " + Quote(m_table) + " SET " + sets + " WHERE rowid = ?");
  if (!s) return ErrorCode();
  for (int i = 0; i < l.FieldCount(); ++i) {
    if (i == m_rowField && buffer.GetNumber(i) == 0)
      sqlite3_bind_int64(s, i + 1, m_current);
    else
      BindField(s, i + 1, buffer, i, false);
  }
  sqlite3_bind_int64(s, l.FieldCount() + 1, m_current);
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc);
  if (sqlite3_changes(m_db->db) == 0) return Fail(RecordNotFoundError);
  if (m_rowField >= 0) m_current = buffer.GetNumber(m_rowField) ? buffer.GetNumber(m_rowField) : m_current;
  return Ok();
}

int KeyedBackend::Delete() {
  if (!m_db) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  sqlite3_stmt* s = Prepare("DELETE FROM " + Quote(m_table) + " WHERE rowid = ?1");
  if (!s) return ErrorCode();
  sqlite3_bind_int64(s, 1, m_current);
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc);
  bool gone = sqlite3_changes(m_db->db) > 0;
  m_current = 0;
  return gone ? Ok() : Fail(RecordNotFoundError);
}

int64_t KeyedBackend::Records() {
  if (!m_db) {
    Fail(NotOpenError);
    return -1;
  }
  sqlite3_stmt* s = Prepare("SELECT count(*) FROM " + Quote(m_table));
  if (!s) return -1;
  int rc = sqlite3_step(s);
  int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_reset(s);
  if (rc != SQLITE_ROW) {
    SqlFail(rc);
    return -1;
  }
  Ok();
  return n;
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

int KeyedBackend::Flush() {
  if (m_bufferTx) {
    m_bufferTx = false;
    return Commit();
  }
  return Ok();
}

int KeyedBackend::Begin() {
  if (!m_db) return Fail(NotOpenError);
  if (m_db->depth == 0)
    if (int e = Exec("BEGIN IMMEDIATE")) return e;
  ++m_db->depth;
  return Ok();
}

int KeyedBackend::BeginExclusive() {
  if (!m_db) return Fail(NotOpenError);
  if (m_db->depth == 0)
    if (int e = Exec("BEGIN EXCLUSIVE")) return e;
  ++m_db->depth;
  return Ok();
}

int KeyedBackend::Commit() {
  if (!m_db) return Fail(NotOpenError);
  if (m_db->depth == 0) return Ok();
  if (m_db->depth == 1) {
    if (int e = Exec("COMMIT")) return e;
  }
  --m_db->depth;
  return Ok();
}

int KeyedBackend::Rollback() {
  if (!m_db) return Fail(NotOpenError);
  if (m_db->depth == 0) return Ok();
  m_db->depth = 0;
  return Exec("ROLLBACK");
}

}  // namespace

std::unique_ptr<FileBackend> MakeKeyedBackend(FileManager& owner) { return std::make_unique<KeyedBackend>(owner); }

}  // namespace mvn::framework

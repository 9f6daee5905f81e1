// ODBC data sources: the tables of an address book kept in a database
// reached through an ODBC data source (unixODBC). The file manager's name is
// the bare table name and its owner the data source ("Books" or a
// connection string such as "DSN=Books;Timeout=5000").
//
// The SQL is that of the keyed data files, sent as text with the values
// written as literals: one column per field (text COLLATE NOCASE, so keys
// ignore ASCII case), the auto-increment field (or a hidden "_row") as
// INTEGER PRIMARY KEY AUTOINCREMENT, keys as indexes, keyset cursors over
// row values. It is tested with Debian's SQLite ODBC driver. A table whose
// columns are not the declared fields gives LayoutDiffersError; a missing
// table is created when create-when-missing is on. One connection per data
// source is shared in the process, so a relation's cascade is one
// transaction.
#include "framework/core/src/backend.h"

#ifdef MVN_HAVE_ODBC
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "framework/core/strings.h"
#endif

namespace mvn::framework {

#ifndef MVN_HAVE_ODBC

namespace {
class OdbcBackend : public FileBackend {
 public:
  explicit OdbcBackend(FileManager& owner) : FileBackend(owner) {}
  int Open(unsigned) override { return Refuse(); }
  int Create() override { return Refuse(); }
  int Close() override { return Ok(); }
  bool IsOpen() const override { return false; }
  std::string FilePath() const override { return m_owner.Name(); }
  int Set(int, const Record*) override { return Refuse(); }
  int Next(Record&, size_t*) override { return Refuse(); }
  int Insert(Record&, size_t) override { return Refuse(); }
  int64_t Records() override {
    Refuse();
    return -1;
  }
  int Copy(const std::string&) override { return Refuse(); }
  int Remove() override { return Refuse(); }

 private:
  int Refuse() { return Fail(DriverNotSupportedError, "The ODBC driver is not supported by this build"); }
};
}  // namespace

#else

namespace {

struct Connection {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  int depth = 0;
  pid_t owner = getpid();  // a child of fork() connects anew
  ~Connection() {
    if (dbc != SQL_NULL_HDBC) {
      SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

std::mutex g_connectionsLock;
std::map<std::string, std::weak_ptr<Connection> >& Connections() {
  static auto* map = new std::map<std::string, std::weak_ptr<Connection> >;
  return *map;
}

std::string Quote(std::string_view name) {
  std::string q = "\"";
  for (char c : name) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

std::string TextLiteral(std::string_view text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\0') break;  // text ends at a NUL
    q += c;
    if (c == '\'') q += '\'';
  }
  return q + "'";
}

bool IsNumberType(FieldType t) { return t == FieldType::Long || t == FieldType::Byte; }

std::string Diagnostic(SQLSMALLINT type, SQLHANDLE handle, std::string* state) {
  SQLCHAR sqlState[6] = {0};
  SQLINTEGER native = 0;
  SQLCHAR text[1024] = {0};
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, sqlState, &native, text, sizeof text, &length))) {
    if (state) *state = reinterpret_cast<char*>(sqlState);
    return reinterpret_cast<char*>(text);
  }
  if (state) state->clear();
  return std::string();
}

// ERRORCODE for an ODBC failure, from its state and text.
int FromOdbc(const std::string& state, const std::string& text) {
  std::string lower = Lower(text);
  if (state == "23000" || lower.find("constraint") != std::string::npos ||
      lower.find("not unique") != std::string::npos)
    return DuplicateKeyError;
  if (lower.find("locked") != std::string::npos || lower.find("busy") != std::string::npos) return IsLockedError;
  if (state == "IM002") return FileNotFoundError;
  if (state == "28000" || lower.find("permission") != std::string::npos ||
      lower.find("readonly") != std::string::npos || lower.find("read-only") != std::string::npos)
    return AccessDeniedError;
  if (lower.find("not a database") != std::string::npos || lower.find("malformed") != std::string::npos)
    return LayoutDiffersError;
  return FileSystemError;
}

using Row = std::vector<std::string>;

class OdbcBackend : public FileBackend {
 public:
  explicit OdbcBackend(FileManager& owner) : FileBackend(owner) {}
  ~OdbcBackend() override { Close(); }

  int Open(unsigned mode) override;
  int Create() override;
  int Close() override;
  bool IsOpen() const override { return m_connection != nullptr; }
  std::string FilePath() const override { return m_owner.Name(); }
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
  int Copy(const std::string&) override { return Unsupported(); }
  int Remove() override { return Unsupported(); }
  int Flush() override;
  int Begin() override;
  int Commit() override;
  int Rollback() override;

 private:
  enum class State { None, Start, From, Reset, Read };

  int Connect();
  int Verify(bool create);
  int CreateTable();
  // Runs sql; rows (when given) receive the result as text.
  int Run(const std::string& sql, std::vector<Row>* rows = nullptr, std::vector<std::string>* columns = nullptr,
          int64_t* changed = nullptr);
  std::vector<int> KeyFields(int key) const;
  std::string RowColumn() const {
    return m_rowField >= 0 ? Quote(m_owner.GetLayout()->Field(m_rowField).name) : std::string("_row");
  }
  std::string Literal(const Record& r, int field, bool asKey) const;
  std::vector<std::string> KeyLiterals(int key, const Record& r) const;
  std::string SelectList() const;
  void ReadRow(const Row& row, Record& r);
  int Step(Record& buffer, size_t* bytes, bool forward);
  bool Writable() const { return (m_mode & 0x0F) != ReadOnly; }

  std::string m_source;
  std::string m_table;
  std::shared_ptr<Connection> m_connection;
  unsigned m_mode = Shared;
  int m_rowField = -1;
  State m_state = State::None;
  int m_cursorKey = -1;
  std::vector<std::string> m_cursorValues;  // SQL literals
  int64_t m_cursorRow = 0;
  int64_t m_current = 0;
  bool m_bufferTx = false;
};

int OdbcBackend::Connect() {
  m_source = Clip(Left(m_owner.Owner()));
  if (m_source.empty()) return Fail(FileNotFoundError, "No ODBC data source is given");
  std::string connect = m_source.find('=') == std::string::npos ? "DSN=" + m_source : m_source;
  if (Upper(connect).find("TIMEOUT=") == std::string::npos)
    connect += ";Timeout=" + std::to_string(m_owner.LockRecoverTime() * 1000);
  std::lock_guard<std::mutex> lock(g_connectionsLock);
  std::shared_ptr<Connection> c = Connections()[connect].lock();
  if (c && c->owner != getpid()) c = nullptr;
  if (!c) {
    c = std::make_shared<Connection>();
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c->env)))
      return Fail(FileSystemError, "ODBC is not available");
    SQLSetEnvAttr(c->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, c->env, &c->dbc))) {
      c->dbc = SQL_NULL_HDBC;
      return Fail(FileSystemError, "ODBC is not available");
    }
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    SQLRETURN rc = SQLDriverConnect(c->dbc, nullptr, reinterpret_cast<SQLCHAR*>(connect.data()), SQL_NTS, out,
                                    sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      std::string state;
      std::string text = Diagnostic(SQL_HANDLE_DBC, c->dbc, &state);
      SQLFreeHandle(SQL_HANDLE_DBC, c->dbc);
      c->dbc = SQL_NULL_HDBC;
      int code = FromOdbc(state, text);
      return Fail(code == FileSystemError && state.rfind("IM", 0) == 0 ? FileNotFoundError : code,
                  "ODBC data source " + m_source + ": " + text);
    }
    Connections()[connect] = c;
  }
  m_connection = c;
  return Ok();
}

int OdbcBackend::Run(const std::string& sql, std::vector<Row>* rows, std::vector<std::string>* columns,
                     int64_t* changed) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_connection->dbc, &stmt)))
    return Fail(FileSystemError, "ODBC statement");
  std::string text = sql;
  SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    std::string state;
    std::string message = Diagnostic(SQL_HANDLE_STMT, stmt, &state);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    int code = FromOdbc(state, message);
    return Fail(code, code == FileSystemError ? message : std::string());
  }
  if (changed) {
    SQLLEN count = 0;
    SQLRowCount(stmt, &count);
    *changed = count;
  }
  SQLSMALLINT count = 0;
  SQLNumResultCols(stmt, &count);
  if (columns) {
    for (SQLSMALLINT i = 1; i <= count; ++i) {
      SQLCHAR name[256] = {0};
      SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(i), name, sizeof name, &nameLength, &type, &size, &digits,
                     &nullable);
      columns->push_back(reinterpret_cast<char*>(name));
    }
  }
  while (rows && count > 0 && SQL_SUCCEEDED(SQLFetch(stmt))) {
    Row row;
    for (SQLSMALLINT i = 1; i <= count; ++i) {
      std::string value;
      char chunk[4096];
      SQLLEN got = 0;
      for (;;) {
        SQLRETURN g = SQLGetData(stmt, static_cast<SQLUSMALLINT>(i), SQL_C_CHAR, chunk, sizeof chunk, &got);
        if (g == SQL_NO_DATA || !SQL_SUCCEEDED(g) || got == SQL_NULL_DATA) break;
        size_t piece = got == SQL_NO_TOTAL || got >= static_cast<SQLLEN>(sizeof chunk) ? sizeof chunk - 1
                                                                                       : static_cast<size_t>(got);
        value.append(chunk, piece);
        if (g == SQL_SUCCESS) break;
      }
      row.push_back(std::move(value));
    }
    rows->push_back(std::move(row));
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return Ok();
}

std::vector<int> OdbcBackend::KeyFields(int key) const {
  std::vector<int> fields;
  if (key < 0 || key >= static_cast<int>(m_owner.Keys().size())) return fields;
  for (const std::string& name : m_owner.Keys()[static_cast<size_t>(key)].fields) {
    int f = m_owner.GetLayout()->FindField(name);
    if (f >= 0) fields.push_back(f);
  }
  if (fields.size() == 1 && fields[0] == m_rowField) fields.clear();
  return fields;
}

std::string OdbcBackend::Literal(const Record& r, int field, bool asKey) const {
  FieldType t = m_owner.GetLayout()->Field(field).type;
  if (IsNumberType(t)) return std::to_string(r.GetNumber(field));
  bool inKey = asKey;
  for (const KeyDef& k : m_owner.Keys())
    for (const std::string& n : k.fields)
      if (m_owner.GetLayout()->FindField(n) == field) inKey = true;
  return TextLiteral(inKey || t == FieldType::String ? Clip(r.Raw(field)) : r.Raw(field));
}

std::vector<std::string> OdbcBackend::KeyLiterals(int key, const Record& r) const {
  std::vector<std::string> values;
  for (int f : KeyFields(key)) values.push_back(Literal(r, f, true));
  return values;
}

std::string OdbcBackend::SelectList() const {
  std::string list = RowColumn();
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount(); ++i) list += ", " + Quote(l.Field(i).name);
  return list;
}

void OdbcBackend::ReadRow(const Row& row, Record& r) {
  m_current = row.empty() ? 0 : std::strtoll(row[0].c_str(), nullptr, 10);
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount() && static_cast<size_t>(i + 1) < row.size(); ++i) r.SetText(i, row[i + 1]);
}

int OdbcBackend::Verify(bool create) {
  std::vector<Row> rows;
  std::vector<std::string> columns;
  int e = Run("SELECT * FROM " + Quote(m_table) + " WHERE 0 = 1", &rows, &columns);
  if (e) {
    // A table the source does not have.
    if (!create) return Fail(FileNotFoundError);
    if (!Writable()) return Fail(AccessDeniedError);
    return CreateTable();
  }
  const Layout& l = *m_owner.GetLayout();
  std::vector<std::string> names;
  for (const std::string& c : columns)
    if (CompareNoCase(c, "_row") != 0) names.push_back(c);
  bool same = static_cast<int>(names.size()) == l.FieldCount();
  for (int i = 0; same && i < l.FieldCount(); ++i)
    same = CompareNoCase(names[static_cast<size_t>(i)], l.Field(i).name) == 0;
  if (!same) return Fail(LayoutDiffersError, "The columns of " + m_table + " differ from its declaration");
  return Ok();
}

int OdbcBackend::CreateTable() {
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
    else
      ddl += " TEXT COLLATE NOCASE NOT NULL DEFAULT ''";
  }
  if (int e = Run(ddl + ")")) return e;
  return BuildKeys();
}

int OdbcBackend::BuildKeys() {
  if (!m_connection) return Fail(NotOpenError);
  for (size_t k = 0; k < m_owner.Keys().size(); ++k) {
    const KeyDef& key = m_owner.Keys()[k];
    std::vector<int> fields = KeyFields(static_cast<int>(k));
    if (fields.empty()) continue;
    std::string cols;
    for (int f : fields) cols += (cols.empty() ? "" : ", ") + Quote(m_owner.GetLayout()->Field(f).name);
    std::string index = Quote(m_table + "$" + key.name);
    if (int e = Run("DROP INDEX IF EXISTS " + index)) return e;
    if (int e = Run(std::string("CREATE ") + (key.unique ? "UNIQUE " : "") + "INDEX " + index + " ON " +
                    Quote(m_table) + " (" + cols + ")"))
      return e;
  }
  return Ok();
}

int OdbcBackend::Open(unsigned mode) {
  if (m_connection) return Fail(AlreadyOpenError);
  m_mode = mode;
  m_table = Clip(Left(m_owner.Name()));
  if (m_table.empty()) return Fail(BadNameError);
  m_rowField = -1;
  for (const KeyDef& k : m_owner.Keys())
    if (k.autoIncrement && k.fields.size() == 1) {
      int f = m_owner.GetLayout()->FindField(k.fields[0]);
      if (f >= 0 && m_owner.GetLayout()->Field(f).type == FieldType::Long) m_rowField = f;
    }
  int e = Connect();
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

int OdbcBackend::Create() {
  bool wasOpen = m_connection != nullptr;
  if (!wasOpen) {
    bool keep = m_owner.GetCreate();
    m_owner.SetCreate(true);
    int e = Open(Shared);
    m_owner.SetCreate(keep);
    if (e) return e;
  }
  int e = Run("DROP TABLE IF EXISTS " + Quote(m_table));
  if (!e) e = CreateTable();
  if (!wasOpen) Close();
  return e ? e : Ok();
}

int OdbcBackend::Close() {
  if (m_bufferTx && m_connection) {
    m_bufferTx = false;
    Commit();
  }
  if (m_connection) {
    std::lock_guard<std::mutex> lock(g_connectionsLock);
    m_connection.reset();
  }
  m_state = State::None;
  m_current = 0;
  return Ok();
}

int OdbcBackend::Fetch(int key, Record& buffer) {
  if (!m_connection) return Fail(NotOpenError);
  std::vector<int> fields = KeyFields(key);
  std::string where;
  if (fields.empty()) where = RowColumn() + " = " + std::to_string(buffer.GetNumber(m_rowField));
  std::vector<std::string> values = KeyLiterals(key, buffer);
  for (size_t i = 0; i < fields.size(); ++i)
    where += (i ? " AND " : "") + Quote(m_owner.GetLayout()->Field(fields[i]).name) + " = " + values[i];
  std::vector<Row> rows;
  if (int e = Run("SELECT " + SelectList() + " FROM " + Quote(m_table) + " WHERE " + where + " ORDER BY " +
                      RowColumn() + " LIMIT 1",
                  &rows))
    return e;
  if (rows.empty()) return Fail(RecordNotFoundError);
  ReadRow(rows[0], buffer);
  m_position = {m_current, {}};
  return Ok();
}

int OdbcBackend::Set(int key, const Record* from) {
  if (!m_connection) return Fail(NotOpenError);
  m_cursorKey = key;
  m_cursorValues.clear();
  if (from && key >= 0) {
    m_state = State::From;
    m_cursorValues = KeyFields(key).empty() ? std::vector<std::string>{std::to_string(from->GetNumber(m_rowField))}
                                            : KeyLiterals(key, *from);
  } else {
    m_state = State::Start;
  }
  return Ok();
}

int OdbcBackend::Reset(int key, const Position& position) {
  if (!m_connection) return Fail(NotOpenError);
  m_cursorKey = key;
  m_state = State::Reset;
  m_cursorValues.clear();
  for (const std::string& v : position.values) m_cursorValues.push_back(v);
  m_cursorRow = position.row;
  // The key values are taken from the record itself while it exists.
  Record scratch(m_owner.GetLayout());
  int64_t keep = m_current;
  Position before = m_position;
  if (Reget(position, scratch) == NoError) m_cursorValues = KeyLiterals(key, scratch);
  m_current = keep;
  m_position = before;
  if (m_cursorValues.size() != KeyFields(key).size()) return Fail(RecordNotFoundError);
  return Ok();
}

int OdbcBackend::Step(Record& buffer, size_t* bytes, bool forward) {
  if (!m_connection) return Fail(NotOpenError);
  if (m_state == State::None) return Fail(RecordNotAvailableError);
  std::vector<int> fields = KeyFields(m_cursorKey);
  std::string cols, order;
  for (int f : fields) {
    cols += Quote(m_owner.GetLayout()->Field(f).name) + ", ";
    order += Quote(m_owner.GetLayout()->Field(f).name) + (forward ? " ASC, " : " DESC, ");
  }
  order += RowColumn() + (forward ? " ASC" : " DESC");
  auto tuple = [](const std::vector<std::string>& v) {
    std::string t = "(";
    for (size_t i = 0; i < v.size(); ++i) t += (i ? ", " : "") + v[i];
    return t + ")";
  };
  std::string where;
  if (m_state == State::From) {
    if (fields.empty())
      where = RowColumn() + (forward ? " >= " : " <= ") + m_cursorValues.at(0);
    else
      where = "(" + cols.substr(0, cols.size() - 2) + ")" + (forward ? " >= " : " <= ") + tuple(m_cursorValues);
  } else if (m_state == State::Reset || m_state == State::Read) {
    std::vector<std::string> values = m_cursorValues;
    values.push_back(std::to_string(m_cursorRow));
    where =
        "(" + cols + RowColumn() + ")" + (forward ? (m_state == State::Reset ? " >= " : " > ") : " < ") + tuple(values);
  }
  std::vector<Row> rows;
  if (int e = Run("SELECT " + SelectList() + " FROM " + Quote(m_table) + (where.empty() ? "" : " WHERE " + where) +
                      " ORDER BY " + order + " LIMIT 1",
                  &rows))
    return e;
  if (rows.empty()) return Fail(RecordNotAvailableError);
  ReadRow(rows[0], buffer);
  m_state = State::Read;
  m_cursorValues = KeyLiterals(m_cursorKey, buffer);
  m_cursorRow = m_current;
  m_position = {m_current, m_cursorValues};
  if (bytes) *bytes = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  return Ok();
}

int OdbcBackend::Reget(const Position& position, Record& buffer) {
  if (!m_connection) return Fail(NotOpenError);
  std::vector<Row> rows;
  if (int e = Run("SELECT " + SelectList() + " FROM " + Quote(m_table) + " WHERE " + RowColumn() + " = " +
                      std::to_string(position.row),
                  &rows))
    return e;
  if (rows.empty()) return Fail(RecordNotFoundError);
  ReadRow(rows[0], buffer);
  m_position = position;
  return Ok();
}

int OdbcBackend::Insert(Record& buffer, size_t) {
  if (!m_connection) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_bufferAdds && !m_bufferTx) {
    if (int e = Begin()) return e;
    m_bufferTx = true;
  }
  const Layout& l = *m_owner.GetLayout();
  std::string cols, values;
  for (int i = 0; i < l.FieldCount(); ++i) {
    cols += (i ? ", " : "") + Quote(l.Field(i).name);
    values += i ? ", " : "";
    values += i == m_rowField && buffer.GetNumber(i) == 0 ? std::string("NULL") : Literal(buffer, i, false);
  }
  if (int e = Run("INSERT INTO " + Quote(m_table) + " (" + cols + ") VALUES (" + values + ")")) return e;
  std::vector<Row> rows;
  if (int e = Run("SELECT last_insert_rowid()", &rows)) return e;
  m_current = rows.empty() || rows[0].empty() ? 0 : std::strtoll(rows[0][0].c_str(), nullptr, 10);
  if (m_rowField >= 0) buffer.SetNumber(m_rowField, m_current);
  m_position = {m_current, {}};
  return Ok();
}

int OdbcBackend::Update(const Record& buffer) {
  if (!m_connection) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  const Layout& l = *m_owner.GetLayout();
  std::string sets;
  for (int i = 0; i < l.FieldCount(); ++i) {
    if (i == m_rowField && buffer.GetNumber(i) == 0) continue;
    sets += (sets.empty() ? "" : ", ") + Quote(l.Field(i).name) + " = " + Literal(buffer, i, false);
  }
  int64_t changed = 0;
  if (int e =
          Run("UPDATE " + Quote(m_table) + " SET " + sets + " WHERE " + RowColumn() + " = " + std::to_string(m_current),
              nullptr, nullptr, &changed))
    return e;
  if (changed == 0) return Fail(RecordNotFoundError);
  if (m_rowField >= 0 && buffer.GetNumber(m_rowField)) m_current = buffer.GetNumber(m_rowField);
  return Ok();
}

int OdbcBackend::Delete() {
  if (!m_connection) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  int64_t changed = 0;
  if (int e = Run("DELETE FROM " + Quote(m_table) + " WHERE " + RowColumn() + " = " + std::to_string(m_current),
                  nullptr, nullptr, &changed))
    return e;
  m_current = 0;
  return changed > 0 ? Ok() : Fail(RecordNotFoundError);
}

int64_t OdbcBackend::Records() {
  if (!m_connection) {
    Fail(NotOpenError);
    return -1;
  }
  std::vector<Row> rows;
  if (Run("SELECT count(*) FROM " + Quote(m_table), &rows) || rows.empty() || rows[0].empty()) return -1;
  Ok();
  return std::strtoll(rows[0][0].c_str(), nullptr, 10);
}

int OdbcBackend::Flush() {
  if (m_bufferTx) {
    m_bufferTx = false;
    return Commit();
  }
  return Ok();
}

int OdbcBackend::Begin() {
  if (!m_connection) return Fail(NotOpenError);
  if (m_connection->depth == 0 &&
      !SQL_SUCCEEDED(SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
    return Fail(FileSystemError, Diagnostic(SQL_HANDLE_DBC, m_connection->dbc, nullptr));
  ++m_connection->depth;
  return Ok();
}

int OdbcBackend::Commit() {
  if (!m_connection) return Fail(NotOpenError);
  if (m_connection->depth == 0) return Ok();
  if (m_connection->depth == 1) {
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_connection->dbc, SQL_COMMIT))) {
      std::string state;
      std::string text = Diagnostic(SQL_HANDLE_DBC, m_connection->dbc, &state);
      return Fail(FromOdbc(state, text), text);
    }
    SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  }
  --m_connection->depth;
  return Ok();
}

int OdbcBackend::Rollback() {
  if (!m_connection) return Fail(NotOpenError);
  if (m_connection->depth == 0) return Ok();
  m_connection->depth = 0;
  SQLEndTran(SQL_HANDLE_DBC, m_connection->dbc, SQL_ROLLBACK);
  SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return Ok();
}

}  // namespace

#endif

std::unique_ptr<FileBackend> MakeOdbcBackend(FileManager& owner) { return std::make_unique<OdbcBackend>(owner); }

}  // namespace mvn::framework

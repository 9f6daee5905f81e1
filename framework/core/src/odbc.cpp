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

#include <cstdlib>
#include <map>
#include <mutex>

#include "framework/core/src/sqltable.h"
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
  bool rolledBack = false;
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
std::map<std::string, std::weak_ptr<Connection>>& Connections() {
  static auto* map = new std::map<std::string, std::weak_ptr<Connection>>;
  return *map;
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

class OdbcBackend : public SqlBackend {
 public:
  explicit OdbcBackend(FileManager& owner) : SqlBackend(owner) {}
  ~OdbcBackend() override { Close(); }

  int Create() override;
  bool IsOpen() const override { return m_connection != nullptr; }
  std::string FilePath() const override { return m_owner.Name(); }
  int Fetch(int key, Record& buffer) override;
  int Copy(const std::string&) override { return Unsupported(); }
  int Remove() override { return Unsupported(); }

 private:
  int Connect(bool create) override;
  int Verify(bool create) override;
  void Disconnect() override;
  int Execute(const std::string& sql) override { return Run(sql); }
  // The values are literals in each statement's text, so the text is made
  // for every run.
  int Change(uint64_t id, const SqlText& sql, const SqlArgs& args, int64_t* changed) override;
  int SelectRow(uint64_t id, const SqlText& sql, const SqlArgs& args, Record& buffer, bool* found) override;
  int SelectNumber(uint64_t id, const SqlText& sql, int64_t* number) override;
  int LastInsertRow(int64_t* row) override;
  int& Depth() override { return m_connection->depth; }
  bool& RolledBack() override { return m_connection->rolledBack; }
  int BeginTransaction(bool exclusive) override;
  int CommitTransaction() override;
  int RollbackTransaction() override;
  std::string RowColumn() const override {
    return m_rowField >= 0 ? QuoteName(m_owner.GetLayout()->Field(m_rowField).name) : std::string("_row");
  }
  // The cursor keeps key values as SQL literals.
  std::vector<std::string> KeyValues(int key, const Record& r) const override;
  std::string PlaceKeyValue(SqlArgs&, int, const std::string& value) const override { return value; }
  std::string PlaceRow(SqlArgs&, int64_t row) const override { return std::to_string(row); }
  std::string PlaceField(SqlArgs& args, const Record& r, int field) const override;

  int CreateTable();
  // Runs sql; rows (when given) receive the result as text.
  int Run(const std::string& sql, std::vector<Row>* rows = nullptr, std::vector<std::string>* columns = nullptr,
          int64_t* changed = nullptr);
  std::string Literal(const Record& r, int field, bool asKey) const;
  void ReadRow(const Row& row, Record& r);

  std::string m_source;
  std::shared_ptr<Connection> m_connection;
};

// Finds the table and connects to the data source.
int OdbcBackend::Connect(bool) {
  m_table = Clip(Left(m_owner.Name()));
  if (m_table.empty()) return Fail(BadNameError);
  MapDeclaration();
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

std::string OdbcBackend::Literal(const Record& r, int field, bool asKey) const {
  FieldType t = m_owner.GetLayout()->Field(field).type;
  if (IsNumberType(t)) return std::to_string(r.GetNumber(field));
  bool clip = asKey || t == FieldType::String || FieldInKey(field);
  return TextLiteral(clip ? Clip(r.Raw(field)) : r.Raw(field));
}

std::vector<std::string> OdbcBackend::KeyValues(int key, const Record& r) const {
  std::vector<std::string> values;
  for (int f : KeyFields(key)) values.push_back(Literal(r, f, true));
  return values;
}

std::string OdbcBackend::PlaceField(SqlArgs&, const Record& r, int field) const {
  return field == m_rowField && r.GetNumber(field) == 0 ? std::string("NULL") : Literal(r, field, false);
}

void OdbcBackend::ReadRow(const Row& row, Record& r) {
  m_current = row.empty() ? 0 : std::strtoll(row[0].c_str(), nullptr, 10);
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount() && static_cast<size_t>(i + 1) < row.size(); ++i) r.SetText(i, row[i + 1]);
}

int OdbcBackend::Verify(bool create) {
  std::vector<Row> rows;
  std::vector<std::string> columns;
  int e = Run("SELECT * FROM " + m_quotedTable + " WHERE 0 = 1", &rows, &columns);
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
  if (int e = Run(CreateTableSql(false))) return e;
  return BuildKeys();
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
  int e = Run("DROP TABLE IF EXISTS " + m_quotedTable);
  if (!e) e = CreateTable();
  if (!wasOpen) Close();
  return e ? e : Ok();
}

void OdbcBackend::Disconnect() {
  if (m_connection) {
    std::lock_guard<std::mutex> lock(g_connectionsLock);
    m_connection.reset();
  }
}

// A record found by its key gives a position of its row alone.
int OdbcBackend::Fetch(int key, Record& buffer) {
  int e = SqlBackend::Fetch(key, buffer);
  if (!e) m_position.values.clear();
  return e;
}

int OdbcBackend::Change(uint64_t, const SqlText& sql, const SqlArgs&, int64_t* changed) {
  return Run(sql(), nullptr, nullptr, changed);
}

int OdbcBackend::SelectRow(uint64_t, const SqlText& sql, const SqlArgs&, Record& buffer, bool* found) {
  std::vector<Row> rows;
  if (int e = Run(sql(), &rows)) return e;
  *found = !rows.empty();
  if (*found) ReadRow(rows[0], buffer);
  return Ok();
}

int OdbcBackend::SelectNumber(uint64_t, const SqlText& sql, int64_t* number) {
  std::vector<Row> rows;
  if (int e = Run(sql(), &rows)) return e;
  if (rows.empty() || rows[0].empty()) return Fail(FileSystemError, "No result");
  *number = std::strtoll(rows[0][0].c_str(), nullptr, 10);
  return Ok();
}

int OdbcBackend::LastInsertRow(int64_t* row) {
  std::vector<Row> rows;
  if (int e = Run("SELECT last_insert_rowid()", &rows)) return e;
  *row = rows.empty() || rows[0].empty() ? 0 : std::strtoll(rows[0][0].c_str(), nullptr, 10);
  return Ok();
}

// The data source decides what other connections see meanwhile.
int OdbcBackend::BeginTransaction(bool) {
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
    return Fail(FileSystemError, Diagnostic(SQL_HANDLE_DBC, m_connection->dbc, nullptr));
  return Ok();
}

int OdbcBackend::CommitTransaction() {
  if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_connection->dbc, SQL_COMMIT))) {
    std::string state;
    std::string text = Diagnostic(SQL_HANDLE_DBC, m_connection->dbc, &state);
    return Fail(FromOdbc(state, text), text);
  }
  SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return Ok();
}

int OdbcBackend::RollbackTransaction() {
  SQLEndTran(SQL_HANDLE_DBC, m_connection->dbc, SQL_ROLLBACK);
  SQLSetConnectAttr(m_connection->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return Ok();
}

}  // namespace

#endif

std::unique_ptr<FileBackend> MakeOdbcBackend(FileManager& owner) { return std::make_unique<OdbcBackend>(owner); }

}  // namespace mvn::framework

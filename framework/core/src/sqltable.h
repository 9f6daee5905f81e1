// What the SQL-backed drivers (keyed data files, ODBC data sources) do the
// same way: one table per file manager with one column per field, a row
// column (the auto-increment field or a hidden "_row") that orders records of
// equal key values by insertion, an index per key, and a cursor that steps
// in key order by comparing row values, (key columns, row) against the last
// record read. A driver supplies only the calls into its database API and
// how it puts values into a statement (bound parameters or literals).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "framework/core/src/backend.h"

namespace mvn::framework {

// A value bound to a statement's "?" (drivers that write literals into the
// SQL text leave the list empty).
struct SqlValue {
  enum class Kind { Null, Number, Text, Blob };
  Kind kind = Kind::Null;
  int64_t number = 0;
  std::string text;  // Text and Blob
};
using SqlArgs = std::vector<SqlValue>;

// Builds the SQL text of a statement when a driver asks for it: a reference
// to a callable of the caller's, so nothing is built or allocated when the
// driver already holds the statement prepared.
class SqlText {
 public:
  template <typename F>
  requires(!std::is_same_v<F, SqlText>)
      SqlText(const F& build)  // NOLINT(google-explicit-constructor): passed as a lambda
      : m_context(&build), m_call([](const void* c) { return (*static_cast<const F*>(c))(); }) {}
  std::string operator()() const { return m_call(m_context); }

 private:
  const void* m_context;
  std::string (*m_call)(const void*);
};

// What a statement of the shared code does. With the key, the direction and
// the number of key values it compares, it names the statement: the text of
// one name is always the same (values are placed as parameters by the
// drivers that bind them), so such a driver prepares it once.
enum class SqlOp : uint8_t { Fetch, First, From, SameKey, NextKey, UniqueStep, Reget, Insert, Update, Delete, Count };
constexpr uint64_t SqlStatementId(SqlOp op, int key = -1, bool forward = true, size_t values = 0,
                                  bool inclusive = false) {
  return static_cast<uint64_t>(op) | (forward ? 1u << 8 : 0u) | (inclusive ? 1u << 9 : 0u) |
         (static_cast<uint64_t>(values & 0xFFFF) << 16) | (static_cast<uint64_t>(static_cast<uint32_t>(key + 1)) << 32);
}

// An SQL identifier in double quotes.
std::string QuoteName(std::string_view name);
bool IsNumberType(FieldType t);

class SqlBackend : public FileBackend {
 public:
  explicit SqlBackend(FileManager& owner) : FileBackend(owner) {}

  int Open(unsigned mode) override;
  int Close() override;
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
  int Flush() override;
  int Begin() override { return BeginNested(false); }
  int BeginExclusive() override { return BeginNested(true); }
  int Commit() override;
  int Rollback() override;

 public:
  // A statement's values and, on the pass that needs it, its text: each
  // statement is written once as a function of a StatementParts, run once
  // for the values and again for the text only when the driver asks.
  struct StatementParts {
    explicit StatementParts(bool withText) : withText(withText) {}
    StatementParts& operator<<(std::string_view s) {
      if (withText) text += s;
      return *this;
    }
    bool withText;
    std::string text;
    SqlArgs args;
  };

 protected:
  enum class State { None, Start, From, Reset, Read };

  // --- What each driver does with its database API. ---
  // Open's first step: finds the table and connects (m_mode is set).
  virtual int Connect(bool create) = 0;
  // Open's second step: checks the table, creating it when allowed.
  virtual int Verify(bool create) = 0;
  // Drops the connection (the cursor state is reset by Close).
  virtual void Disconnect() = 0;
  // Runs a statement without a result.
  virtual int Execute(const std::string& sql) = 0;
  // The statements below are named by id (SqlStatementId) and built by sql
  // when the driver needs their text; args are the values placed in them.
  // Runs a statement that changes rows; *changed: how many.
  virtual int Change(uint64_t id, const SqlText& sql, const SqlArgs& args, int64_t* changed) = 0;
  // Runs a SELECT of SelectList(); reads its first row (if any) into buffer
  // and m_current.
  virtual int SelectRow(uint64_t id, const SqlText& sql, const SqlArgs& args, Record& buffer, bool* found) = 0;
  // Runs a SELECT of one number.
  virtual int SelectNumber(uint64_t id, const SqlText& sql, int64_t* number) = 0;
  // Drops the statements kept prepared (the table or its indexes change).
  virtual void ForgetStatements() {}
  // The row of the record the last INSERT made.
  virtual int LastInsertRow(int64_t* row) = 0;
  // The transaction of the connection: nesting depth and the calls.
  virtual int& Depth() = 0;
  // Set when an inner level rolled back: the outermost Commit then undoes
  // the whole transaction and fails, since part of its work is gone.
  virtual bool& RolledBack() = 0;
  // exclusive: the transaction also keeps readers of other connections out.
  virtual int BeginTransaction(bool exclusive) = 0;
  virtual int CommitTransaction() = 0;
  virtual int RollbackTransaction() = 0;
  // How the row column is named in statements.
  virtual std::string RowColumn() const = 0;
  // The cursor's values of key for record r (as the driver keeps them).
  virtual std::vector<std::string> KeyValues(int key, const Record& r) const = 0;
  // The SQL text standing for a value in a statement: "?" with the value
  // added to args, or a literal. field -1 is the row column.
  virtual std::string PlaceKeyValue(SqlArgs& args, int field, const std::string& value) const = 0;
  virtual std::string PlaceRow(SqlArgs& args, int64_t row) const = 0;
  // A field of r as stored; a row field of 0 is NULL (the database hands
  // out the row).
  virtual std::string PlaceField(SqlArgs& args, const Record& r, int field) const = 0;

  // --- Shared. ---
  // m_rowField from the declared keys, and the maps below from the layout
  // and keys (declared before the open; m_table is set).
  void MapDeclaration();
  // Key columns (field indexes) of key; empty for file order or the row key.
  const std::vector<int>& KeyFields(int key) const;
  bool FieldInKey(int field) const { return m_inKey[static_cast<size_t>(field)] != 0; }
  // A field's column name, quoted.
  const std::string& Column(int field) const { return m_columns[static_cast<size_t>(field)]; }
  const std::string& SelectList() const { return m_selectList; }
  std::string IndexName(const KeyDef& key) const { return m_table + "$" + key.name; }
  // CREATE TABLE for the layout; blobs: BLOB columns for blob fields (text
  // columns otherwise).
  std::string CreateTableSql(bool blobs) const;
  bool Writable() const { return (m_mode & 0x0F) != ReadOnly; }
  // A change to a table opened only for reading: refused, naming the file.
  int RefuseChange() {
    std::string file = FilePath();
    return Fail(AccessDeniedError, ReadOnlyText(file.empty() ? m_owner.Name() : file));
  }

  std::string m_table;
  unsigned m_mode = Shared;
  int m_rowField = -1;  // the auto-increment field that is the row id, or -1
  // Made by MapDeclaration.
  std::vector<std::vector<int>> m_keyFields;  // key -> its columns
  std::vector<char> m_uniqueKey;              // key -> declared unique
  std::vector<char> m_inKey;                  // field -> part of a key
  std::vector<std::string> m_columns;         // field -> quoted name
  std::string m_quotedTable;
  std::string m_selectList;  // the row column and every field's column
  // Cursor.
  State m_state = State::None;
  int m_cursorKey = -1;
  std::vector<std::string> m_cursorValues;
  int64_t m_cursorRow = 0;
  int64_t m_current = 0;  // row of the current record, 0 = none
  bool m_bufferTx = false;

 private:
  template <typename Build>
  int SelectBuilt(uint64_t id, const Build& build, Record& buffer, bool* found);
  template <typename Build>
  int ChangeBuilt(uint64_t id, const Build& build, int64_t* changed);

  int Step(Record& buffer, size_t* bytes, bool forward);
  int Stepped(int key, Record& buffer, size_t* bytes, bool found);
  int BeginNested(bool exclusive);
};

}  // namespace mvn::framework

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
  // Runs a statement that changes rows; *changed: how many.
  virtual int Change(const std::string& sql, const SqlArgs& args, int64_t* changed) = 0;
  // Runs a SELECT of SelectList(); reads its first row (if any) into buffer
  // and m_current.
  virtual int SelectRow(const std::string& sql, const SqlArgs& args, Record& buffer, bool* found) = 0;
  // Runs a SELECT of one number.
  virtual int SelectNumber(const std::string& sql, int64_t* number) = 0;
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
  // m_rowField from the declared keys.
  void FindRowField();
  // Key columns (field indexes) of key; empty for file order or the row key.
  std::vector<int> KeyFields(int key) const;
  bool FieldInKey(int field) const;
  std::string SelectList() const;
  std::string IndexName(const KeyDef& key) const { return m_table + "$" + key.name; }
  // CREATE TABLE for the layout; blobs: BLOB columns for blob fields (text
  // columns otherwise).
  std::string CreateTableSql(bool blobs) const;
  bool Writable() const { return (m_mode & 0x0F) != ReadOnly; }

  std::string m_table;
  unsigned m_mode = Shared;
  int m_rowField = -1;  // the auto-increment field that is the row id, or -1
  // Cursor.
  State m_state = State::None;
  int m_cursorKey = -1;
  std::vector<std::string> m_cursorValues;
  int64_t m_cursorRow = 0;
  int64_t m_current = 0;  // row of the current record, 0 = none
  bool m_bufferTx = false;

 private:
  int Step(Record& buffer, size_t* bytes, bool forward);
  int BeginNested(bool exclusive);
};

}  // namespace mvn::framework

// The table, key and cursor logic shared by the SQL-backed drivers.
#include "framework/core/src/sqltable.h"

#include <algorithm>
#include <cstdlib>

namespace mvn::framework {

std::string QuoteName(std::string_view name) {
  std::string q = "\"";
  for (char c : name) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

bool IsNumberType(FieldType t) { return t == FieldType::Long || t == FieldType::Byte; }

void SqlBackend::MapDeclaration() {
  const Layout& l = *m_owner.GetLayout();
  const std::vector<KeyDef>& keys = m_owner.Keys();
  m_rowField = -1;
  for (const KeyDef& k : keys)
    if (k.autoIncrement && k.fields.size() == 1) {
      int f = l.FindField(k.fields[0]);
      if (f >= 0 && l.Field(f).type == FieldType::Long) m_rowField = f;
    }
  m_inKey.assign(static_cast<size_t>(l.FieldCount()), 0);
  m_keyFields.assign(keys.size(), {});
  m_uniqueKey.assign(keys.size(), 0);
  for (size_t k = 0; k < keys.size(); ++k) {
    m_uniqueKey[k] = keys[k].unique;
    std::vector<int>& fields = m_keyFields[k];
    for (const std::string& name : keys[k].fields) {
      int f = l.FindField(name);
      if (f < 0) continue;
      fields.push_back(f);
      m_inKey[static_cast<size_t>(f)] = 1;
    }
    if (fields.size() == 1 && fields[0] == m_rowField) fields.clear();
  }
  m_columns.clear();
  for (int i = 0; i < l.FieldCount(); ++i) m_columns.push_back(QuoteName(l.Field(i).name));
  m_quotedTable = QuoteName(m_table);
  m_selectList = RowColumn();
  for (const std::string& c : m_columns) m_selectList += ", " + c;
}

const std::vector<int>& SqlBackend::KeyFields(int key) const {
  static const std::vector<int> kNone;
  if (key < 0 || static_cast<size_t>(key) >= m_keyFields.size()) return kNone;
  return m_keyFields[static_cast<size_t>(key)];
}

std::string SqlBackend::CreateTableSql(bool blobs) const {
  const Layout& l = *m_owner.GetLayout();
  std::string ddl = "CREATE TABLE " + m_quotedTable + " (";
  if (m_rowField < 0) ddl += "_row INTEGER PRIMARY KEY AUTOINCREMENT";
  for (int i = 0; i < l.FieldCount(); ++i) {
    const FieldDef& f = l.Field(i);
    if (i || m_rowField < 0) ddl += ", ";
    ddl += QuoteName(f.name);
    if (i == m_rowField)
      ddl += " INTEGER PRIMARY KEY AUTOINCREMENT";
    else if (IsNumberType(f.type))
      ddl += " INTEGER NOT NULL DEFAULT 0";
    else if (blobs && f.type == FieldType::Blob)
      ddl += " BLOB NOT NULL DEFAULT x''";
    else
      ddl += " TEXT COLLATE NOCASE NOT NULL DEFAULT ''";
  }
  return ddl + ")";
}

int SqlBackend::Open(unsigned mode) {
  if (IsOpen()) return Fail(AlreadyOpenError);
  m_mode = mode;
  int e = Connect(m_owner.GetCreate());
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

int SqlBackend::Close() {
  // Buffered adds are written now; when that fails the caller is told.
  int e = NoError;
  std::string text;
  if (m_bufferTx && IsOpen()) {
    m_bufferTx = false;
    e = Commit();
    text = ErrorText();
  }
  Disconnect();
  m_state = State::None;
  m_current = 0;
  return e ? Fail(e, text) : Ok();
}

// Runs the statement build writes: its values now, its text only when
// run (a driver call given the id, the text and the values) asks for it.
template <typename Build, typename Run>
static int WithStatement(const Build& build, const Run& run) {
  SqlBackend::StatementParts values(false);
  build(values);
  auto text = [&] {
    SqlBackend::StatementParts sql(true);
    build(sql);
    return std::move(sql.text);
  };
  return run(SqlText(text), values.args);
}

template <typename Build>
int SqlBackend::SelectBuilt(uint64_t id, const Build& build, Record& buffer, bool* found) {
  return WithStatement(
      build, [&](const SqlText& sql, const SqlArgs& args) { return SelectRow(id, sql, args, buffer, found); });
}

template <typename Build>
int SqlBackend::ChangeBuilt(uint64_t id, const Build& build, int64_t* changed) {
  return WithStatement(build, [&](const SqlText& sql, const SqlArgs& args) { return Change(id, sql, args, changed); });
}

int SqlBackend::BuildKeys() {
  if (!IsOpen()) return Fail(NotOpenError);
  // The statements were planned on the indexes about to be replaced.
  ForgetStatements();
  for (size_t k = 0; k < m_owner.Keys().size(); ++k) {
    const KeyDef& key = m_owner.Keys()[k];
    const std::vector<int>& fields = KeyFields(static_cast<int>(k));
    if (fields.empty()) continue;
    std::string cols;
    for (int f : fields) cols += (cols.empty() ? "" : ", ") + Column(f);
    std::string index = QuoteName(IndexName(key));
    if (int e = Execute("DROP INDEX IF EXISTS " + index)) return e;
    if (int e = Execute(std::string("CREATE ") + (key.unique ? "UNIQUE " : "") + "INDEX " + index + " ON " +
                        m_quotedTable + " (" + cols + ")"))
      return e;
  }
  return Ok();
}

int SqlBackend::Fetch(int key, Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (key < 0) return Fail(BadNameError, "No such key");
  const std::vector<int>& fields = KeyFields(key);
  std::vector<std::string> values = KeyValues(key, buffer);
  bool found = false;
  auto build = [&](StatementParts& q) {
    q << "SELECT " << m_selectList << " FROM " << m_quotedTable << " WHERE ";
    if (fields.empty()) q << RowColumn() << " = " << PlaceRow(q.args, buffer.GetNumber(m_rowField));
    for (size_t i = 0; i < fields.size(); ++i)
      q << (i ? " AND " : "") << Column(fields[i]) << " = " << PlaceKeyValue(q.args, fields[i], values[i]);
    q << " ORDER BY " << RowColumn() << " LIMIT 1";
  };
  if (int e = SelectBuilt(SqlStatementId(SqlOp::Fetch, key), build, buffer, &found)) return e;
  if (!found) return Fail(RecordNotFoundError);
  m_position = {m_current, KeyValues(key, buffer)};
  return Ok();
}

int SqlBackend::Set(int key, const Record* from) {
  if (!IsOpen()) return Fail(NotOpenError);
  m_cursorKey = key;
  if (from && key >= 0) {
    m_state = State::From;
    m_cursorValues = KeyFields(key).empty() ? std::vector<std::string>{std::to_string(from->GetNumber(m_rowField))}
                                            : KeyValues(key, *from);
  } else {
    m_state = State::Start;
    m_cursorValues.clear();
  }
  return Ok();
}

int SqlBackend::Reset(int key, const Position& position) {
  if (!IsOpen()) return Fail(NotOpenError);
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

// One record from the cursor: the first in key order (ties by row) after or
// before the last one read, or from where Set or Reset put the cursor.
//
// After a record (key values v, row r) the next one is either a record with
// the same key values and a later row, or the first with greater key
// values. Asked as one comparison of (key, row) the database seeks only on
// the key and then walks every record of a run of equal values, so the two
// are asked apart: "key = v AND row > r" and then "key > v", each one index
// seek whatever the length of the run. A unique key has runs of one record
// at most, so there it is one statement: "key >= v" without the records of
// values v up to row r, which skips that one record.
int SqlBackend::Step(Record& buffer, size_t* bytes, bool forward) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (m_state == State::None) return Fail(RecordNotAvailableError);
  const int key = m_cursorKey;
  const std::vector<int>& fields = KeyFields(key);
  // The cursor's values (none after Set) are those of the key's fields.
  const size_t n = std::min(fields.size(), m_cursorValues.size());
  // "SELECT ... FROM table WHERE " (the caller adds the condition) and the
  // order of the key with its LIMIT.
  auto head = [&](StatementParts& q) { q << "SELECT " << m_selectList << " FROM " << m_quotedTable; };
  auto tail = [&](StatementParts& q) {
    q << " ORDER BY ";
    for (int f : fields) q << Column(f) << (forward ? " ASC, " : " DESC, ");
    q << RowColumn() << (forward ? " ASC LIMIT 1" : " DESC LIMIT 1");
  };
  // "(c1, c2) op (v1, v2)" over the cursor's values.
  auto compareKey = [&](StatementParts& q, const char* op) {
    q << "(";
    for (size_t i = 0; i < n; ++i) q << (i ? ", " : "") << Column(fields[i]);
    q << ")" << op << "(";
    for (size_t i = 0; i < n; ++i) q << (i ? ", " : "") << PlaceKeyValue(q.args, fields[i], m_cursorValues[i]);
    q << ")";
  };
  bool found = false;
  if (m_state == State::Start) {
    auto build = [&](StatementParts& q) {
      head(q);
      tail(q);
    };
    if (int e = SelectBuilt(SqlStatementId(SqlOp::First, key, forward), build, buffer, &found)) return e;
  } else if (m_state == State::From) {
    if (fields.empty()) m_cursorRow = m_cursorValues.empty() ? 0 : std::strtoll(m_cursorValues[0].c_str(), nullptr, 10);
    auto build = [&](StatementParts& q) {
      head(q);
      q << " WHERE ";
      if (fields.empty())
        q << RowColumn() << (forward ? " >= " : " <= ") << PlaceRow(q.args, m_cursorRow);
      else
        compareKey(q, forward ? " >= " : " <= ");
      tail(q);
    };
    if (int e = SelectBuilt(SqlStatementId(SqlOp::From, key, forward, n), build, buffer, &found)) return e;
  } else {
    // Read: strictly after (before) the record; Reset: Next reads the
    // record itself, Previous the one before it.
    const bool inclusive = forward && m_state == State::Reset;
    const char* rowOp = forward ? (inclusive ? " >= " : " > ") : " < ";
    if (n > 0 && n == fields.size() && m_uniqueKey[static_cast<size_t>(key)]) {
      // The complement of rowOp: the rows of values v that are not after r.
      const char* notAfter = forward ? (inclusive ? " < " : " <= ") : " >= ";
      auto uniqueStep = [&](StatementParts& q) {
        head(q);
        q << " WHERE ";
        compareKey(q, forward ? " >= " : " <= ");
        q << " AND NOT (";
        for (size_t i = 0; i < n; ++i)
          q << Column(fields[i]) << " = " << PlaceKeyValue(q.args, fields[i], m_cursorValues[i]) << " AND ";
        q << RowColumn() << notAfter << PlaceRow(q.args, m_cursorRow) << ")";
        tail(q);
      };
      if (int e =
              SelectBuilt(SqlStatementId(SqlOp::UniqueStep, key, forward, n, inclusive), uniqueStep, buffer, &found))
        return e;
      return Stepped(key, buffer, bytes, found);
    }
    auto sameKey = [&](StatementParts& q) {
      head(q);
      q << " WHERE ";
      for (size_t i = 0; i < n; ++i)
        q << Column(fields[i]) << " = " << PlaceKeyValue(q.args, fields[i], m_cursorValues[i]) << " AND ";
      q << RowColumn() << rowOp << PlaceRow(q.args, m_cursorRow);
      tail(q);
    };
    if (int e = SelectBuilt(SqlStatementId(SqlOp::SameKey, key, forward, n, inclusive), sameKey, buffer, &found))
      return e;
    if (!found && n > 0) {
      auto nextKey = [&](StatementParts& q) {
        head(q);
        q << " WHERE ";
        compareKey(q, forward ? " > " : " < ");
        tail(q);
      };
      if (int e = SelectBuilt(SqlStatementId(SqlOp::NextKey, key, forward, n), nextKey, buffer, &found)) return e;
    }
  }
  return Stepped(key, buffer, bytes, found);
}

// After a step's statement: the record read becomes the cursor's.
int SqlBackend::Stepped(int key, Record& buffer, size_t* bytes, bool found) {
  if (!found) return Fail(RecordNotAvailableError);
  m_state = State::Read;
  m_cursorValues = KeyValues(key, buffer);
  m_cursorRow = m_current;
  m_position = {m_current, m_cursorValues};
  if (bytes) *bytes = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  return Ok();
}

int SqlBackend::Reget(const Position& position, Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  bool found = false;
  auto build = [&](StatementParts& q) {
    q << "SELECT " << m_selectList << " FROM " << m_quotedTable << " WHERE " << RowColumn() << " = "
      << PlaceRow(q.args, position.row);
  };
  if (int e = SelectBuilt(SqlStatementId(SqlOp::Reget), build, buffer, &found)) return e;
  if (!found) return Fail(RecordNotFoundError);
  m_position = position;
  return Ok();
}

int SqlBackend::Insert(Record& buffer, size_t) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return RefuseChange();
  if (m_bufferAdds && !m_bufferTx) {
    if (int e = Begin()) return e;
    m_bufferTx = true;
  }
  const int count = m_owner.GetLayout()->FieldCount();
  auto build = [&](StatementParts& q) {
    q << "INSERT INTO " << m_quotedTable << " (";
    for (int i = 0; i < count; ++i) q << (i ? ", " : "") << Column(i);
    q << ") VALUES (";
    for (int i = 0; i < count; ++i) q << (i ? ", " : "") << PlaceField(q.args, buffer, i);
    q << ")";
  };
  int64_t changed = 0;
  if (int e = ChangeBuilt(SqlStatementId(SqlOp::Insert), build, &changed)) return e;
  if (int e = LastInsertRow(&m_current)) return e;
  if (m_rowField >= 0) buffer.SetNumber(m_rowField, m_current);
  m_position = {m_current, {}};
  return Ok();
}

int SqlBackend::Update(const Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return RefuseChange();
  if (m_current == 0) return Fail(NoRecordError);
  const int count = m_owner.GetLayout()->FieldCount();
  auto build = [&](StatementParts& q) {
    q << "UPDATE " << m_quotedTable << " SET ";
    for (int i = 0; i < count; ++i) {
      // A row field of 0 keeps the record's row.
      bool keepRow = i == m_rowField && buffer.GetNumber(i) == 0;
      q << (i ? ", " : "") << Column(i) << " = "
        << (keepRow ? PlaceRow(q.args, m_current) : PlaceField(q.args, buffer, i));
    }
    q << " WHERE " << RowColumn() << " = " << PlaceRow(q.args, m_current);
  };
  int64_t changed = 0;
  if (int e = ChangeBuilt(SqlStatementId(SqlOp::Update), build, &changed)) return e;
  if (changed == 0) return Fail(RecordNotFoundError);
  if (m_rowField >= 0 && buffer.GetNumber(m_rowField)) m_current = buffer.GetNumber(m_rowField);
  return Ok();
}

int SqlBackend::Delete() {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return RefuseChange();
  if (m_current == 0) return Fail(NoRecordError);
  auto build = [&](StatementParts& q) {
    q << "DELETE FROM " << m_quotedTable << " WHERE " << RowColumn() << " = " << PlaceRow(q.args, m_current);
  };
  int64_t changed = 0;
  if (int e = ChangeBuilt(SqlStatementId(SqlOp::Delete), build, &changed)) return e;
  m_current = 0;
  return changed > 0 ? Ok() : Fail(RecordNotFoundError);
}

int64_t SqlBackend::Records() {
  if (!IsOpen()) {
    Fail(NotOpenError);
    return -1;
  }
  int64_t n = -1;
  if (SelectNumber(
          SqlStatementId(SqlOp::Count), [&] { return "SELECT count(*) FROM " + m_quotedTable; }, &n))
    return -1;
  Ok();
  return n;
}

int SqlBackend::Flush() {
  if (m_bufferTx) {
    m_bufferTx = false;
    return Commit();
  }
  return Ok();
}

int SqlBackend::BeginNested(bool exclusive) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (Depth() == 0) {
    if (int e = BeginTransaction(exclusive)) return e;
    RolledBack() = false;
  }
  ++Depth();
  return Ok();
}

int SqlBackend::Commit() {
  if (!IsOpen()) return Fail(NotOpenError);
  if (Depth() == 0) return Ok();
  if (Depth() > 1) {
    --Depth();
    return Ok();
  }
  if (RolledBack()) {
    Depth() = 0;
    RolledBack() = false;
    RollbackTransaction();
    return Fail(FileSystemError, "The transaction was rolled back: a part of it failed");
  }
  if (int e = CommitTransaction()) {
    // Nothing of it was written: undo it all, so the connection shared by
    // the file's managers is not left inside a transaction.
    std::string text = ErrorText();
    Depth() = 0;
    RollbackTransaction();
    return Fail(e, text);
  }
  Depth() = 0;
  return Ok();
}

int SqlBackend::Rollback() {
  if (!IsOpen()) return Fail(NotOpenError);
  if (Depth() == 0) return Ok();
  if (Depth() > 1) {
    // The levels around it still run: the outermost one ends it all.
    --Depth();
    RolledBack() = true;
    return Ok();
  }
  Depth() = 0;
  RolledBack() = false;
  return RollbackTransaction();
}

}  // namespace mvn::framework

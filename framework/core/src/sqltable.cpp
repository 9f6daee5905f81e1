// The table, key and cursor logic shared by the SQL-backed drivers.
#include "framework/core/src/sqltable.h"

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

void SqlBackend::FindRowField() {
  m_rowField = -1;
  for (const KeyDef& k : m_owner.Keys())
    if (k.autoIncrement && k.fields.size() == 1) {
      int f = m_owner.GetLayout()->FindField(k.fields[0]);
      if (f >= 0 && m_owner.GetLayout()->Field(f).type == FieldType::Long) m_rowField = f;
    }
}

std::vector<int> SqlBackend::KeyFields(int key) const {
  std::vector<int> fields;
  if (key < 0 || key >= static_cast<int>(m_owner.Keys().size())) return fields;
  for (const std::string& name : m_owner.Keys()[static_cast<size_t>(key)].fields) {
    int f = m_owner.GetLayout()->FindField(name);
    if (f >= 0) fields.push_back(f);
  }
  if (fields.size() == 1 && fields[0] == m_rowField) fields.clear();
  return fields;
}

bool SqlBackend::FieldInKey(int field) const {
  for (const KeyDef& k : m_owner.Keys())
    for (const std::string& name : k.fields)
      if (m_owner.GetLayout()->FindField(name) == field) return true;
  return false;
}

std::string SqlBackend::SelectList() const {
  std::string list = RowColumn();
  const Layout& l = *m_owner.GetLayout();
  for (int i = 0; i < l.FieldCount(); ++i) list += ", " + QuoteName(l.Field(i).name);
  return list;
}

std::string SqlBackend::CreateTableSql(bool blobs) const {
  const Layout& l = *m_owner.GetLayout();
  std::string ddl = "CREATE TABLE " + QuoteName(m_table) + " (";
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

int SqlBackend::BuildKeys() {
  if (!IsOpen()) return Fail(NotOpenError);
  for (size_t k = 0; k < m_owner.Keys().size(); ++k) {
    const KeyDef& key = m_owner.Keys()[k];
    std::vector<int> fields = KeyFields(static_cast<int>(k));
    if (fields.empty()) continue;
    std::string cols;
    for (int f : fields) cols += (cols.empty() ? "" : ", ") + QuoteName(m_owner.GetLayout()->Field(f).name);
    std::string index = QuoteName(IndexName(key));
    if (int e = Execute("DROP INDEX IF EXISTS " + index)) return e;
    if (int e = Execute(std::string("CREATE ") + (key.unique ? "UNIQUE " : "") + "INDEX " + index + " ON " +
                        QuoteName(m_table) + " (" + cols + ")"))
      return e;
  }
  return Ok();
}

int SqlBackend::Fetch(int key, Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (key < 0) return Fail(BadNameError, "No such key");
  std::vector<int> fields = KeyFields(key);
  SqlArgs args;
  std::string where;
  if (fields.empty()) where = RowColumn() + " = " + PlaceRow(args, buffer.GetNumber(m_rowField));
  std::vector<std::string> values = KeyValues(key, buffer);
  for (size_t i = 0; i < fields.size(); ++i)
    where += (i ? " AND " : "") + QuoteName(m_owner.GetLayout()->Field(fields[i]).name) + " = " +
             PlaceKeyValue(args, fields[i], values[i]);
  bool found = false;
  if (int e = SelectRow("SELECT " + SelectList() + " FROM " + QuoteName(m_table) + " WHERE " + where + " ORDER BY " +
                            RowColumn() + " LIMIT 1",
                        args, buffer, &found))
    return e;
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
int SqlBackend::Step(Record& buffer, size_t* bytes, bool forward) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (m_state == State::None) return Fail(RecordNotAvailableError);
  std::vector<int> fields = KeyFields(m_cursorKey);
  std::string cols, order;
  for (int f : fields) {
    cols += QuoteName(m_owner.GetLayout()->Field(f).name) + ", ";
    order += QuoteName(m_owner.GetLayout()->Field(f).name) + (forward ? " ASC, " : " DESC, ");
  }
  order += RowColumn() + (forward ? " ASC" : " DESC");
  SqlArgs args;
  auto keyTuple = [&](bool withRow) {
    std::string t = "(";
    for (size_t i = 0; i < fields.size() && i < m_cursorValues.size(); ++i)
      t += (i ? ", " : "") + PlaceKeyValue(args, fields[i], m_cursorValues[i]);
    if (withRow) t += (fields.empty() ? "" : ", ") + PlaceRow(args, m_cursorRow);
    return t + ")";
  };
  std::string where;
  if (m_state == State::From) {
    if (fields.empty()) {
      m_cursorRow = m_cursorValues.empty() ? 0 : std::strtoll(m_cursorValues[0].c_str(), nullptr, 10);
      where = RowColumn() + (forward ? " >= " : " <= ") + PlaceRow(args, m_cursorRow);
    } else {
      where = "(" + cols.substr(0, cols.size() - 2) + ")" + (forward ? " >= " : " <= ") + keyTuple(false);
    }
  } else if (m_state == State::Reset || m_state == State::Read) {
    where = "(" + cols + RowColumn() + ")" + (forward ? (m_state == State::Reset ? " >= " : " > ") : " < ") +
            keyTuple(true);
  }
  bool found = false;
  if (int e = SelectRow("SELECT " + SelectList() + " FROM " + QuoteName(m_table) +
                            (where.empty() ? "" : " WHERE " + where) + " ORDER BY " + order + " LIMIT 1",
                        args, buffer, &found))
    return e;
  if (!found) return Fail(RecordNotAvailableError);
  m_state = State::Read;
  m_cursorValues = KeyValues(m_cursorKey, buffer);
  m_cursorRow = m_current;
  m_position = {m_current, m_cursorValues};
  if (bytes) *bytes = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  return Ok();
}

int SqlBackend::Reget(const Position& position, Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  SqlArgs args;
  bool found = false;
  if (int e = SelectRow("SELECT " + SelectList() + " FROM " + QuoteName(m_table) + " WHERE " + RowColumn() + " = " +
                            PlaceRow(args, position.row),
                        args, buffer, &found))
    return e;
  if (!found) return Fail(RecordNotFoundError);
  m_position = position;
  return Ok();
}

int SqlBackend::Insert(Record& buffer, size_t) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_bufferAdds && !m_bufferTx) {
    if (int e = Begin()) return e;
    m_bufferTx = true;
  }
  const Layout& l = *m_owner.GetLayout();
  SqlArgs args;
  std::string cols, values;
  for (int i = 0; i < l.FieldCount(); ++i) {
    cols += (i ? ", " : "") + QuoteName(l.Field(i).name);
    values += (i ? ", " : "") + PlaceField(args, buffer, i);
  }
  int64_t changed = 0;
  if (int e = Change("INSERT INTO " + QuoteName(m_table) + " (" + cols + ") VALUES (" + values + ")", args, &changed))
    return e;
  if (int e = LastInsertRow(&m_current)) return e;
  if (m_rowField >= 0) buffer.SetNumber(m_rowField, m_current);
  m_position = {m_current, {}};
  return Ok();
}

int SqlBackend::Update(const Record& buffer) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  const Layout& l = *m_owner.GetLayout();
  SqlArgs args;
  std::string sets;
  for (int i = 0; i < l.FieldCount(); ++i) {
    // A row field of 0 keeps the record's row.
    bool keepRow = i == m_rowField && buffer.GetNumber(i) == 0;
    sets += (i ? ", " : "") + QuoteName(l.Field(i).name) + " = " +
            (keepRow ? PlaceRow(args, m_current) : PlaceField(args, buffer, i));
  }
  int64_t changed = 0;
  if (int e = Change(
          "UPDATE " + QuoteName(m_table) + " SET " + sets + " WHERE " + RowColumn() + " = " + PlaceRow(args, m_current),
          args, &changed))
    return e;
  if (changed == 0) return Fail(RecordNotFoundError);
  if (m_rowField >= 0 && buffer.GetNumber(m_rowField)) m_current = buffer.GetNumber(m_rowField);
  return Ok();
}

int SqlBackend::Delete() {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!Writable()) return Fail(AccessDeniedError);
  if (m_current == 0) return Fail(NoRecordError);
  SqlArgs args;
  int64_t changed = 0;
  if (int e = Change("DELETE FROM " + QuoteName(m_table) + " WHERE " + RowColumn() + " = " + PlaceRow(args, m_current),
                     args, &changed))
    return e;
  m_current = 0;
  return changed > 0 ? Ok() : Fail(RecordNotFoundError);
}

int64_t SqlBackend::Records() {
  if (!IsOpen()) {
    Fail(NotOpenError);
    return -1;
  }
  int64_t n = -1;
  if (SelectNumber("SELECT count(*) FROM " + QuoteName(m_table), &n)) return -1;
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

// Record layouts and record buffers.
//
// A layout is the declaration of a record: a prefix ("MVC") and fields in
// order, each LONG (signed 32 bits), BYTE (unsigned 8 bits), STRING(n)
// (n bytes, blank-padded), CSTRING(n) (at most n-1 bytes of text), or a memo
// (MEMO text or BLOB bytes, of any length up to its maximum, kept apart from
// the fixed record). Field names are found without regard to ASCII letter
// case, written with or without the prefix ("MVC:Company" or "Company").
//
// A record is a buffer over a layout. Text set into a STRING or CSTRING is
// cut to its width without splitting a UTF-8 character; STRING reads back
// padded with blanks to its width, CSTRING as stored. Numbers read as text
// are decimal; text set into a number is parsed as a decimal integer (blank
// = 0, out of range saturates to the type's limits).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace mvn::framework {

enum class FieldType { Long, Byte, String, CString, Memo, Blob };

struct FieldDef {
  std::string name;  // without prefix
  FieldType type;
  int size;  // bytes: LONG 4, BYTE 1, STRING/CSTRING n, MEMO/BLOB maximum length
};

// Field declarations. The upper-case forms read like the declarations they
// come from; use the CamelCase ones in code that also sees the kernel's
// LONG and BYTE types.
inline FieldDef LongField(std::string name) { return {std::move(name), FieldType::Long, 4}; }
inline FieldDef ByteField(std::string name) { return {std::move(name), FieldType::Byte, 1}; }
inline FieldDef StringField(std::string name, int n) { return {std::move(name), FieldType::String, n}; }
inline FieldDef CStringField(std::string name, int n) { return {std::move(name), FieldType::CString, n}; }
inline FieldDef MemoField(std::string name, int n) { return {std::move(name), FieldType::Memo, n}; }
inline FieldDef BlobField(std::string name, int n = 1 << 30) { return {std::move(name), FieldType::Blob, n}; }
inline FieldDef LONG(std::string name) { return {std::move(name), FieldType::Long, 4}; }
inline FieldDef BYTE(std::string name) { return {std::move(name), FieldType::Byte, 1}; }
inline FieldDef STRING(std::string name, int n) { return {std::move(name), FieldType::String, n}; }
inline FieldDef CSTRING(std::string name, int n) { return {std::move(name), FieldType::CString, n}; }
inline FieldDef MEMO(std::string name, int n) { return {std::move(name), FieldType::Memo, n}; }
inline FieldDef BLOB(std::string name, int n = 1 << 30) { return {std::move(name), FieldType::Blob, n}; }

class Layout {
 public:
  Layout(std::string prefix, std::vector<FieldDef> fields);

  const std::string& Prefix() const { return m_prefix; }
  int FieldCount() const { return static_cast<int>(m_fields.size()); }
  const FieldDef& Field(int index) const { return m_fields[static_cast<size_t>(index)]; }  // 0-based
  // Index of the field named name ("Company", "MVC:Company"; no case), or -1.
  int FindField(std::string_view name) const;
  // The field names in declaration order, without prefix.
  std::vector<std::string> FieldNames() const;
  // Bytes of the fixed record (memos not counted).
  int RecordSize() const { return m_recordSize; }
  // A text that changes whenever a field's name, type or size changes.
  std::string Signature() const;

 private:
  std::string m_prefix;
  std::vector<FieldDef> m_fields;
  int m_recordSize = 0;
};

using LayoutPtr = std::shared_ptr<const Layout>;
LayoutPtr MakeLayout(std::string prefix, std::vector<FieldDef> fields);

class Record {
 public:
  explicit Record(LayoutPtr layout);

  const Layout& GetLayout() const { return *m_layout; }
  const LayoutPtr& GetLayoutPtr() const { return m_layout; }

  // Every field blank (strings) or zero (numbers), memos empty.
  void Clear();

  // By 0-based index.
  std::string GetText(int index) const;
  void SetText(int index, std::string_view value);
  int64_t GetNumber(int index) const;
  void SetNumber(int index, int64_t value);

  // By name (see Layout::FindField). An unknown name reads "" / 0 and a set
  // of it is ignored; both return false from the Has check.
  bool Has(std::string_view name) const { return m_layout->FindField(name) >= 0; }
  std::string Get(std::string_view name) const;
  // Get with trailing blanks removed.
  std::string Clipped(std::string_view name) const;
  void Set(std::string_view name, std::string_view value);
  int64_t GetLong(std::string_view name) const;
  void SetLong(std::string_view name, int64_t value);

  // Copies every field of from whose name also exists here (no case), as
  // text; fields of this record without a namesake keep their value.
  void CopyByName(const Record& from);

  // Stored value of a field: STRING without its padding, CSTRING as stored.
  const std::string& Raw(int index) const { return m_values[static_cast<size_t>(index)]; }

  bool operator==(const Record& other) const { return m_values == other.m_values; }

 private:
  LayoutPtr m_layout;
  std::vector<std::string> m_values;  // numbers as decimal text, strings clipped
};

// Cuts text to at most width bytes without splitting a UTF-8 character.
std::string CutUtf8(std::string_view text, size_t width);

}  // namespace mvn::framework

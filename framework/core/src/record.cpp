#include "framework/core/record.h"

#include <charconv>
#include <limits>

#include "framework/core/strings.h"
#include "platform/kernel/utf.h"

namespace mvn::framework {

namespace {
// How many bytes of text fit in width without splitting a UTF-8 character.
size_t CutLength(std::string_view text, size_t width) { return mvn::kernel::Utf8CutPoint(text, width); }
}  // namespace

std::string CutUtf8(std::string_view text, size_t width) { return std::string(text.substr(0, CutLength(text, width))); }

Layout::Layout(std::string prefix, std::vector<FieldDef> fields)
    : m_prefix(std::move(prefix)), m_fields(std::move(fields)) {
  for (const FieldDef& f : m_fields)
    if (f.type != FieldType::Memo && f.type != FieldType::Blob) m_recordSize += f.size;
}

int Layout::FindField(std::string_view name) const {
  size_t colon = name.find(':');
  if (colon != std::string_view::npos) {
    if (CompareNoCase(name.substr(0, colon), m_prefix) != 0) return -1;
    name = name.substr(colon + 1);
  }
  for (size_t i = 0; i < m_fields.size(); ++i)
    if (CompareNoCase(m_fields[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> Layout::FieldNames() const {
  std::vector<std::string> names;
  for (const FieldDef& f : m_fields) names.push_back(f.name);
  return names;
}

std::string Layout::Signature() const {
  static const char* const kTypes[] = {"LONG", "BYTE", "STRING", "CSTRING", "MEMO", "BLOB"};
  std::string sig;
  for (const FieldDef& f : m_fields) {
    if (!sig.empty()) sig += ',';
    sig += f.name + ' ' + kTypes[static_cast<int>(f.type)] + '(' + std::to_string(f.size) + ')';
  }
  return sig;
}

LayoutPtr MakeLayout(std::string prefix, std::vector<FieldDef> fields) {
  return std::make_shared<const Layout>(std::move(prefix), std::move(fields));
}

namespace {
bool IsNumber(FieldType t) { return t == FieldType::Long || t == FieldType::Byte; }

int64_t Saturate(FieldType t, int64_t v) {
  if (t == FieldType::Byte) return v < 0 ? 0 : v > 255 ? 255 : v;
  constexpr int64_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  return v < lo ? lo : v > hi ? hi : v;
}

int64_t ParseInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < (int64_t{1} << 40)) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}
}  // namespace

Record::Record(LayoutPtr layout) : m_layout(std::move(layout)) { Clear(); }

void Record::Clear() {
  m_values.assign(static_cast<size_t>(m_layout->FieldCount()), std::string());
  for (int i = 0; i < m_layout->FieldCount(); ++i)
    if (IsNumber(m_layout->Field(i).type)) m_values[static_cast<size_t>(i)] = "0";
}

std::string Record::GetText(int index) const {
  if (index < 0 || index >= m_layout->FieldCount()) return std::string();
  const FieldDef& f = m_layout->Field(index);
  const std::string& v = m_values[static_cast<size_t>(index)];
  if (f.type == FieldType::String && v.size() < static_cast<size_t>(f.size))
    return v + std::string(static_cast<size_t>(f.size) - v.size(), ' ');
  return v;
}

void Record::SetText(int index, std::string_view value) {
  if (index < 0 || index >= m_layout->FieldCount()) return;
  const FieldDef& f = m_layout->Field(index);
  std::string& slot = m_values[static_cast<size_t>(index)];
  switch (f.type) {
    case FieldType::Long:
    case FieldType::Byte:
      slot = std::to_string(Saturate(f.type, ParseInteger(value)));
      break;
    // Assigned in place: a buffer refilled for every record read keeps its
    // storage.
    case FieldType::String: {
      std::string_view cut = value.substr(0, CutLength(value, static_cast<size_t>(f.size)));
      size_t end = cut.find_last_not_of(' ');
      slot.assign(cut.substr(0, end == std::string_view::npos ? 0 : end + 1));
      break;
    }
    case FieldType::CString: {
      std::string_view cut = value.substr(0, CutLength(value, f.size > 0 ? static_cast<size_t>(f.size - 1) : 0));
      // A NUL ends the text of a CSTRING.
      slot.assign(cut.substr(0, cut.find('\0')));
      break;
    }
    case FieldType::Memo:
      slot.assign(value.substr(0, CutLength(value, static_cast<size_t>(f.size))));
      break;
    case FieldType::Blob:
      slot.assign(value.substr(0, static_cast<size_t>(f.size)));
      break;
  }
}

int64_t Record::GetNumber(int index) const {
  if (index < 0 || index >= m_layout->FieldCount()) return 0;
  return ParseInteger(m_values[static_cast<size_t>(index)]);
}

void Record::SetNumber(int index, int64_t value) {
  if (index < 0 || index >= m_layout->FieldCount()) return;
  const FieldDef& f = m_layout->Field(index);
  if (IsNumber(f.type))
    m_values[static_cast<size_t>(index)] = std::to_string(Saturate(f.type, value));
  else
    SetText(index, std::to_string(value));
}

std::string Record::Get(std::string_view name) const { return GetText(m_layout->FindField(name)); }
std::string Record::Clipped(std::string_view name) const { return Clip(Get(name)); }
void Record::Set(std::string_view name, std::string_view value) { SetText(m_layout->FindField(name), value); }
int64_t Record::GetLong(std::string_view name) const { return GetNumber(m_layout->FindField(name)); }
void Record::SetLong(std::string_view name, int64_t value) { SetNumber(m_layout->FindField(name), value); }

void Record::CopyByName(const Record& from) {
  const Layout& src = from.GetLayout();
  for (int i = 0; i < m_layout->FieldCount(); ++i) {
    int j = src.FindField(m_layout->Field(i).name);
    if (j >= 0) SetText(i, from.Raw(j));  // a STRING source without its padding
  }
}

}  // namespace mvn::framework

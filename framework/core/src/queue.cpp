#include "framework/core/queue.h"

#include <algorithm>

#include "framework/core/strings.h"

namespace mvn::framework {

Queue::Queue(LayoutPtr layout) : m_layout(layout), m_buffer(layout) {}

int Queue::Get(int position) {
  if (position < 1 || position > Records()) {
    SetError(EntryNotFoundError);
    return EntryNotFoundError;
  }
  m_buffer = m_entries[static_cast<size_t>(position - 1)];
  m_pointer = position;
  ClearError();
  return NoError;
}

int Queue::GetByKey(const std::vector<std::string>& fieldNames) {
  std::vector<int> idx;
  for (const std::string& n : fieldNames) idx.push_back(m_layout->FindField(n));
  for (size_t e = 0; e < m_entries.size(); ++e) {
    bool match = true;
    for (int i : idx)
      if (Clip(m_entries[e].GetText(i)) != Clip(m_buffer.GetText(i))) {
        match = false;
        break;
      }
    if (match) return Get(static_cast<int>(e + 1));
  }
  SetError(EntryNotFoundError);
  return EntryNotFoundError;
}

void Queue::Add() { Add(Records() + 1); }

void Queue::Add(int position) {
  if (position < 1) position = 1;
  if (position > Records() + 1) position = Records() + 1;
  m_entries.insert(m_entries.begin() + (position - 1), m_buffer);
  m_pointer = position;
  ClearError();
}

int Queue::Put() {
  if (m_pointer < 1 || m_pointer > Records()) {
    SetError(EntryNotFoundError);
    return EntryNotFoundError;
  }
  m_entries[static_cast<size_t>(m_pointer - 1)] = m_buffer;
  ClearError();
  return NoError;
}

int Queue::Delete() {
  if (m_pointer < 1 || m_pointer > Records()) {
    SetError(EntryNotFoundError);
    return EntryNotFoundError;
  }
  m_entries.erase(m_entries.begin() + (m_pointer - 1));
  --m_pointer;
  ClearError();
  return NoError;
}

void Queue::Free() {
  m_entries.clear();
  m_pointer = 0;
  ClearError();
}

void Queue::Sort(const std::vector<std::string>& fields, bool caseless) {
  struct Part {
    int index;
    bool descending;
    bool number;
  };
  std::vector<Part> parts;
  for (std::string_view f : fields) {
    bool desc = false;
    if (!f.empty() && (f[0] == '-' || f[0] == '+')) {
      desc = f[0] == '-';
      f.remove_prefix(1);
    }
    int i = m_layout->FindField(f);
    if (i < 0) continue;
    FieldType t = m_layout->Field(i).type;
    parts.push_back({i, desc, t == FieldType::Long || t == FieldType::Byte});
  }
  std::stable_sort(m_entries.begin(), m_entries.end(), [&](const Record& a, const Record& b) {
    for (const Part& p : parts) {
      int c;
      if (p.number) {
        int64_t x = a.GetNumber(p.index), y = b.GetNumber(p.index);
        c = x < y ? -1 : x > y ? 1 : 0;
      } else {
        std::string x = Clip(a.Raw(p.index)), y = Clip(b.Raw(p.index));
        c = caseless ? CompareNoCase(x, y) : x.compare(y);
      }
      if (c != 0) return p.descending ? c > 0 : c < 0;
    }
    return false;
  });
  m_pointer = 0;
  ClearError();
}

}  // namespace mvn::framework

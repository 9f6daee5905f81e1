// Queues: in-memory lists of records of one layout, with a buffer.
//
// Positions are 1-based. Get copies an entry into the buffer and makes it
// current; Put and Delete work on the current entry.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/core/errors.h"
#include "framework/core/record.h"

namespace mvn::framework {

class Queue {
 public:
  explicit Queue(LayoutPtr layout);

  Record& Buffer() { return m_buffer; }
  const Record& Buffer() const { return m_buffer; }
  const Layout& GetLayout() const { return *m_layout; }

  int Records() const { return static_cast<int>(m_entries.size()); }
  // 1-based position of the current entry, 0 when none.
  int Pointer() const { return m_pointer; }

  // Entry at position into the buffer; EntryNotFoundError when out of range.
  int Get(int position);
  // The first entry whose named fields equal (clipped, exact case) those in
  // the buffer.
  int GetByKey(const std::vector<std::string>& fieldNames);
  // Appends the buffer (or inserts it at position); it becomes current.
  void Add();
  void Add(int position);
  // Appends entry (a record of the queue's layout) by moving it in, without
  // a copy; the buffer and the pointer stay as they are. Reserve makes room
  // for n entries in all, so a queue filled with a known count grows once.
  void Append(Record&& entry) { m_entries.push_back(std::move(entry)); }
  void Reserve(size_t n) { m_entries.reserve(n); }
  // Writes the buffer over the current entry.
  int Put();
  // Removes the current entry (the pointer moves to the entry before).
  int Delete();
  void Free();

  // Stable sort by the named fields; a leading "-" sorts that field
  // descending, "+" (or nothing) ascending. Numbers compare as numbers,
  // text by bytes after clipping; caseless compares text without ASCII case.
  void Sort(const std::vector<std::string>& fields, bool caseless = false);

  // Direct read access to an entry (1-based), without moving the pointer.
  const Record& Entry(int position) const { return m_entries[static_cast<size_t>(position - 1)]; }

 private:
  LayoutPtr m_layout;
  Record m_buffer;
  std::vector<Record> m_entries;
  int m_pointer = 0;
};

}  // namespace mvn::framework

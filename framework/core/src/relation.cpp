// Relation managers: cascades written over the file managers, inside one
// transaction of the parent's data file.
#include "framework/core/relation.h"

#include <memory>

#include "framework/core/strings.h"

namespace mvn::framework {

namespace {
// Whether a child's linked field equals the parent value: text without
// trailing blanks and without ASCII case (as the keys compare), numbers as
// numbers.
bool SameValue(const Record& child, const std::string& childField, const std::string& parentValue) {
  return CompareNoCase(Clip(child.Get(childField)), Clip(parentValue)) == 0;
}

// Positions of the child records that carry the parent's values.
int FindChildren(FileManager& scan, const std::string& key,
                 const std::vector<std::pair<std::string, std::string>>& links, const Record& parent,
                 std::vector<Position>* found) {
  scan.Buffer().Clear();
  for (const auto& [parentField, childField] : links) scan.Buffer().Set(childField, parent.Get(parentField));
  if (int e = scan.SetFrom(key)) return e;
  while (scan.Next() == NoError) {
    bool match = true;
    for (const auto& [parentField, childField] : links)
      if (!SameValue(scan.Buffer(), childField, parent.Get(parentField))) {
        match = false;
        break;
      }
    if (!match) break;
    found->push_back(scan.GetPosition());
  }
  if (ErrorCode() != RecordNotAvailableError && ErrorCode() != NoError) return ErrorCode();
  ClearError();
  return NoError;
}

// A second declaration of the file, opened, for walking the children
// without disturbing the child's own buffer and cursor.
int OpenScan(FileManager& file, std::unique_ptr<FileManager>* scan) {
  *scan = file.Clone();
  (*scan)->SetCreate(false);
  int e = (*scan)->TryOpen(Shared);
  return e;
}

bool LinksChanged(const std::vector<std::pair<std::string, std::string>>& links, const Record& before,
                  const Record& after) {
  for (const auto& link : links)
    if (Clip(before.Get(link.first)) != Clip(after.Get(link.first))) return true;
  return false;
}
}  // namespace

void RelationManager::AddRelation(RelationManager& child, std::string childKey,
                                  std::vector<std::pair<std::string, std::string>> links, bool cascadeUpdate,
                                  bool cascadeDelete) {
  m_relations.push_back({&child, std::move(childKey), std::move(links), cascadeUpdate, cascadeDelete});
}

int RelationManager::CascadeDelete(const Record& parent) {
  for (Relation& r : m_relations) {
    if (!r.cascadeDelete) continue;
    std::unique_ptr<FileManager> scan;
    if (int e = OpenScan(r.child->File(), &scan)) return e;
    std::vector<Position> children;
    if (int e = FindChildren(*scan, r.childKey, r.links, parent, &children)) return e;
    for (const Position& p : children) {
      if (int e = scan->Reget(p)) return e;
      if (int e = r.child->CascadeDelete(scan->Buffer())) return e;
      if (int e = scan->TryDelete()) return e;
    }
  }
  return NoError;
}

int RelationManager::CascadeUpdate(const Record& before, const Record& after) {
  for (Relation& r : m_relations) {
    if (!r.cascadeUpdate || !LinksChanged(r.links, before, after)) continue;
    std::unique_ptr<FileManager> scan;
    if (int e = OpenScan(r.child->File(), &scan)) return e;
    std::vector<Position> children;
    if (int e = FindChildren(*scan, r.childKey, r.links, before, &children)) return e;
    for (const Position& p : children) {
      if (int e = scan->Reget(p)) return e;
      Record old = scan->Buffer();
      for (const auto& [parentField, childField] : r.links) scan->Buffer().Set(childField, after.Get(parentField));
      if (int e = scan->TryUpdate()) return e;
      if (int e = r.child->CascadeUpdate(old, scan->Buffer())) return e;
    }
  }
  return NoError;
}

int RelationManager::Delete() {
  if (!m_file.IsOpen()) return m_file.TryDelete();  // sets NotOpenError
  if (int e = m_file.BeginTransaction()) return e;
  // The record as stored, not as the buffer may have been edited.
  Record stored = m_file.Buffer();
  std::unique_ptr<FileManager> self;
  if (OpenScan(m_file, &self) == NoError && self->Reget(m_file.GetPosition()) == NoError) stored = self->Buffer();
  self.reset();
  int e = CascadeDelete(stored);
  if (!e) e = m_file.TryDelete();
  if (e) {
    std::string text = ErrorText();
    m_file.Rollback();
    SetError(e, m_file.Name(), text);
    return e;
  }
  return m_file.Commit();
}

int RelationManager::Update() {
  if (!m_file.IsOpen()) return m_file.TryUpdate();
  if (int e = m_file.BeginTransaction()) return e;
  Record before = m_file.Buffer();
  std::unique_ptr<FileManager> self;
  int e = OpenScan(m_file, &self);
  if (!e) e = self->Reget(m_file.GetPosition());
  if (!e) before = self->Buffer();
  self.reset();
  if (!e) e = m_file.TryUpdate();
  if (!e) e = CascadeUpdate(before, m_file.Buffer());
  if (e) {
    std::string text = ErrorText();
    m_file.Rollback();
    SetError(e, m_file.Name(), text);
    return e;
  }
  return m_file.Commit();
}

int RelationManager::Open(unsigned mode) {
  int e = m_file.TryOpen(mode);
  if (e && e != AlreadyOpenError) return e;
  for (Relation& r : m_relations) {
    int c = r.child->Open(mode);
    if (c && c != AlreadyOpenError) return c;
  }
  ClearError();
  return NoError;
}

void RelationManager::Close() {
  for (Relation& r : m_relations) r.child->Close();
  m_file.Close();
}

}  // namespace mvn::framework

// Relation managers: a file manager with its parent-to-child relations.
//
// A relation links fields of the parent's record to fields of the child's
// record through one of the child's keys. Deleting a parent record deletes
// the child records that carry its values (and theirs, recursively);
// changing a linked parent field changes it in the child records. The whole
// cascade runs in one transaction of the parent's data file and is undone
// when any step fails. Child records without a parent are tolerated.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "framework/core/filemanager.h"

namespace mvn::framework {

class RelationManager {
 public:
  explicit RelationManager(FileManager& file) : m_file(file) {}

  FileManager& File() { return m_file; }

  // links: (parent field, child field) pairs, in the order of childKey's
  // fields.
  void AddRelation(RelationManager& child, std::string childKey, std::vector<std::pair<std::string, std::string>> links,
                   bool cascadeUpdate = true, bool cascadeDelete = true);

  // Deletes the parent's current record with its cascade.
  int Delete();
  // Writes the parent's buffer over its current record, carrying changed
  // linked fields into the children.
  int Update();
  // Inserts the parent's buffer (children are not touched).
  int Insert() { return m_file.TryInsert(); }

  // Opens / closes the parent and every file below it.
  int Open(unsigned mode = Shared);
  void Close();

 private:
  struct Relation {
    RelationManager* child;
    std::string childKey;
    std::vector<std::pair<std::string, std::string>> links;
    bool cascadeUpdate;
    bool cascadeDelete;
  };
  int CascadeDelete(const Record& parent);
  int CascadeUpdate(const Record& before, const Record& after);

  FileManager& m_file;
  std::vector<Relation> m_relations;
};

}  // namespace mvn::framework

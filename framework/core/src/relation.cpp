#include "framework/core/relation.h"

namespace mvn::framework {

void RelationManager::AddRelation(RelationManager& child, std::string childKey,
                                  std::vector<std::pair<std::string, std::string>> links, bool cascadeUpdate,
                                  bool cascadeDelete) {
  m_relations.push_back({&child, std::move(childKey), std::move(links), cascadeUpdate, cascadeDelete});
}
int RelationManager::Delete() { return m_file.TryDelete(); }
int RelationManager::Update() { return m_file.TryUpdate(); }
int RelationManager::Open(unsigned mode) { return m_file.TryOpen(mode); }
void RelationManager::Close() { m_file.Close(); }
int RelationManager::CascadeDelete(const Record&) { return NoError; }
int RelationManager::CascadeUpdate(const Record&, const Record&) { return NoError; }

}  // namespace mvn::framework

// Groups and their members (see groups.h).
#include "client/addressbook/groups.h"

#include "framework/core/strings.h"

namespace mvn::client {

using framework::Clip;
using framework::CutUtf8;

void LoadGroupMembers(Dictionary& dict, std::string_view group, int sortChoice) {
  framework::Queue& q = dict.Queues().g_relatedClientsQ;
  q.Free();
  std::string name = Clip(group);
  if (!name.empty()) {
    auto members = dict.File("MVGroupClient").Clone();
    auto clients = dict.File("MVClients").Clone();
    members->TryOpen();
    clients->TryOpen();
    // The whole read in one transaction of the book (both tables live in
    // its one database): one lock of the file instead of one per record
    // read. A book that cannot be locked for it is read without.
    bool inTransaction = members->BeginTransaction() == framework::NoError;
    members->Buffer().Clear();
    members->Buffer().Set("GroupID", name);
    if (members->SetFrom("MVGC:KeyGroupID") == 0) {
      while (members->Next() == 0 && framework::CompareNoCase(members->Buffer().Clipped("GroupID"), name) == 0) {
        clients->Buffer().Clear();
        clients->Buffer().SetLong("PK_MVClientID", members->Buffer().GetLong("FK_MVClientID"));
        if (clients->TryFetch("MVC:KeyPK_MVClientID")) continue;
        const framework::Record& c = clients->Buffer();
        framework::Record& e = q.Buffer();
        e.Clear();
        // Each is cut to its field of the queue.
        e.Set("ToName", c.Clipped("ClientID"));
        e.Set("Company", c.Clipped("Company"));
        e.Set("Destination", c.Clipped("PreferredDestination"));
        e.SetLong("FK_MVClientID", c.GetLong("PK_MVClientID"));
        e.Set("GroupID", members->Buffer().Clipped("GroupID"));
        q.Add();
      }
    }
    if (inTransaction) members->Commit();
  }
  const char* field = sortChoice == SortCompany ? "Company" : sortChoice == SortDestination ? "Destination" : "ToName";
  q.Sort({field}, true);
  framework::ClearError();
}

void LoadClientGroups(Dictionary& dict, long recordId) {
  framework::Queue& q = dict.Queues().g_relatedGroupsQ;
  q.Free();
  auto members = dict.File("MVGroupClient").Clone();
  members->TryOpen();
  members->Buffer().Clear();
  members->Buffer().SetLong("FK_MVClientID", recordId);
  if (members->SetFrom("MVGC:KeyFK_MVClientID") == 0) {
    while (members->Next() == 0 && members->Buffer().GetLong("FK_MVClientID") == recordId) {
      q.Buffer().Clear();
      q.Buffer().Set("GroupID", members->Buffer().Clipped("GroupID"));
      if (q.GetByKey({"GroupID"}) == 0) continue;
      q.Buffer().Clear();
      q.Buffer().Set("GroupID", members->Buffer().Clipped("GroupID"));
      q.Add();
    }
  }
  q.Sort({"GroupID"}, true);
  framework::ClearError();
}

std::string AddToGroup(Dictionary& dict, std::string_view group, long recordId) {
  std::string name = CutUtf8(Clip(group), kMaxGroupName);
  if (name.empty() || recordId <= 0) return "Please select a group and a recipient first.";
  auto members = dict.File("MVGroupClient").Clone();
  members->TryOpen();
  members->Buffer().Clear();
  members->Buffer().Set("GroupID", name);
  members->Buffer().SetLong("FK_MVClientID", recordId);
  if (members->TryFetch("MVGC:KeyUnique") == 0) return std::string();
  members->Buffer().Clear();
  members->Buffer().Set("GroupID", name);
  members->Buffer().SetLong("FK_MVClientID", recordId);
  if (members->TryInsert()) return "ERROR add:" + framework::ErrorText();
  return std::string();
}

std::string RemoveFromGroup(Dictionary& dict, std::string_view group, long recordId) {
  std::string name = Clip(group);
  if (name.empty() || recordId <= 0) return "Please select a group and a recipient first.";
  auto members = dict.File("MVGroupClient").Clone();
  members->TryOpen();
  members->Buffer().Clear();
  members->Buffer().Set("GroupID", name);
  members->Buffer().SetLong("FK_MVClientID", recordId);
  if (members->TryFetch("MVGC:KeyUnique")) return std::string();
  if (members->TryDelete()) return "ERROR remove:" + framework::ErrorText();
  return std::string();
}

}  // namespace mvn::client

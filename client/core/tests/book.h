// A small address book for the client core tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/records/records.h"
#include "tests/support/tempdir.h"

namespace clienttest {

struct Person {
  int id;
  std::string contact, company, fax, email, preferred, type;
  std::string sal, first, last;
};

// Opens (creates) the book <dir>/book.KDF in the dictionary and adds the
// people and their memberships (group, record id) in the order given.
inline void MakeBook(mvn::client::Dictionary& d, const std::string& dir, const std::vector<Person>& people,
                     const std::vector<std::pair<std::string, int>>& members) {
  ASSERT_TRUE(d.SetAddressBookFiles(dir + "/book", ""));
  ASSERT_EQ(d.OpenAddressBook(), 0);
  auto& clients = d.File("MVClients");
  for (const Person& p : people) {
    auto& r = clients.Buffer();
    r.Clear();
    r.SetLong("PK_MVClientID", p.id);
    r.Set("ClientID", p.contact);
    r.Set("Company", p.company);
    r.Set("FaxNum", p.fax);
    r.Set("Email", p.email);
    r.Set("PreferredDestination", p.preferred);
    r.Set("FaxToEmailAttachmentType", p.type);
    r.Set("Sal", p.sal);
    r.Set("FirstName", p.first);
    r.Set("LastName", p.last);
    ASSERT_EQ(clients.TryInsert(), 0) << p.contact;
  }
  auto& groups = d.File("MVGroupClient");
  for (const auto& [group, id] : members) {
    groups.Buffer().Clear();
    groups.Buffer().Set("GroupID", group);
    groups.Buffer().SetLong("FK_MVClientID", id);
    ASSERT_EQ(groups.TryInsert(), 0);
  }
  d.CloseAll();
}

inline void MarkGroups(mvn::client::Dictionary& d, const std::vector<std::pair<std::string, bool>>& groups) {
  auto& q = d.Queues().g_Qgroups;
  q.Free();
  for (const auto& [name, mark] : groups) {
    q.Buffer().Clear();
    q.Buffer().Set("GroupID", name);
    q.Buffer().SetLong("Mark", mark ? 1 : 0);
    q.Add();
  }
}

// "id:destination" per g_QsendTo entry, in queue order.
inline std::vector<std::string> ListOf(mvn::client::Dictionary& d) {
  std::vector<std::string> out;
  auto& q = d.Queues().g_QsendTo;
  for (int i = 1; i <= q.Records(); ++i)
    out.push_back(std::to_string(q.Entry(i).GetLong("MVClientID")) + ":" + q.Entry(i).Clipped("Destination"));
  return out;
}

}  // namespace clienttest

// Group members and member groups, adding and removing memberships, and the
// cascades of deleting a group or a recipient.
#include <gtest/gtest.h>

#include "client/addressbook/groups.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

class Groups : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(d.SetAddressBookFiles(dir / "book", ""));
    ASSERT_EQ(d.OpenAddressBook(), 0);
    for (auto [contact, company, dest] : {std::tuple{"Zed", "Alpha", "3"}, {"Amy", "Gamma", "1"}, {"Bob", "Beta", "2"}}) {
      auto& c = d.File("MVClients");
      c.Buffer().Clear();
      c.Buffer().Set("ClientID", contact);
      c.Buffer().Set("Company", company);
      c.Buffer().Set("PreferredDestination", dest);
      ASSERT_EQ(c.TryInsert(), 0);
    }
    for (const char* g : {"Sales", "Board"}) {
      auto& def = d.File("MVdefaults");
      def.Buffer().Clear();
      def.Buffer().Set("GroupID", g);
      ASSERT_EQ(def.TryInsert(), 0);
    }
  }
  std::vector<std::string> Members() {
    std::vector<std::string> out;
    auto& q = d.Queues().g_relatedClientsQ;
    for (int i = 1; i <= q.Records(); ++i) out.push_back(q.Entry(i).Clipped("ToName"));
    return out;
  }
  std::vector<std::string> GroupsOf() {
    std::vector<std::string> out;
    auto& q = d.Queues().g_relatedGroupsQ;
    for (int i = 1; i <= q.Records(); ++i) out.push_back(q.Entry(i).Clipped("GroupID"));
    return out;
  }
  mvntest::TempDir dir;
  Dictionary d;
};

}  // namespace

TEST_F(Groups, AddRemoveAndSort) {
  EXPECT_EQ(AddToGroup(d, "Sales", 1), "");
  EXPECT_EQ(AddToGroup(d, "Sales", 2), "");
  EXPECT_EQ(AddToGroup(d, "Sales", 3), "");
  EXPECT_EQ(AddToGroup(d, "sales", 3), "");  // already there: nothing, no message
  EXPECT_EQ(AddToGroup(d, "Board", 3), "");
  EXPECT_EQ(AddToGroup(d, "", 3), "Please select a group and a recipient first.");
  EXPECT_EQ(AddToGroup(d, "Board", 0), "Please select a group and a recipient first.");
  LoadGroupMembers(d, "Sales", SortContact);
  EXPECT_EQ(Members(), (std::vector<std::string>{"Amy", "Bob", "Zed"}));
  LoadGroupMembers(d, "Sales", SortCompany);
  EXPECT_EQ(Members(), (std::vector<std::string>{"Zed", "Bob", "Amy"}));
  LoadGroupMembers(d, "Sales", SortDestination);
  EXPECT_EQ(Members(), (std::vector<std::string>{"Amy", "Bob", "Zed"}));
  LoadClientGroups(d, 3);
  EXPECT_EQ(GroupsOf(), (std::vector<std::string>{"Board", "Sales"}));

  EXPECT_EQ(RemoveFromGroup(d, "Sales", 3), "");
  EXPECT_EQ(RemoveFromGroup(d, "Sales", 3), "");  // gone already
  EXPECT_EQ(RemoveFromGroup(d, "Sales", 0), "Please select a group and a recipient first.");
  LoadClientGroups(d, 3);
  EXPECT_EQ(GroupsOf(), (std::vector<std::string>{"Board"}));
}

TEST_F(Groups, Cascades) {
  ASSERT_EQ(AddToGroup(d, "Sales", 1), "");
  ASSERT_EQ(AddToGroup(d, "Sales", 2), "");
  ASSERT_EQ(AddToGroup(d, "Board", 2), "");
  // Deleting a recipient removes its memberships.
  auto& c = d.File("MVClients");
  c.Buffer().Clear();
  c.Buffer().SetLong("PK_MVClientID", 1);
  ASSERT_EQ(c.TryFetch("MVC:KeyPK_MVClientID"), 0);
  ASSERT_EQ(d.Relation("MVClients").Delete(), 0);
  LoadGroupMembers(d, "Sales");
  EXPECT_EQ(Members(), (std::vector<std::string>{"Amy"}));
  // Deleting a group removes its memberships; the recipients stay.
  auto& g = d.File("MVdefaults");
  g.Buffer().Clear();
  g.Buffer().Set("GroupID", "Sales");
  ASSERT_EQ(g.TryFetch("MVd:KeyGroupID"), 0);
  ASSERT_EQ(d.Relation("MVdefaults").Delete(), 0);
  LoadClientGroups(d, 2);
  EXPECT_EQ(GroupsOf(), (std::vector<std::string>{"Board"}));
  EXPECT_EQ(c.Records(), 2);
  // A membership whose record is gone is left out of the members.
  auto& m = d.File("MVGroupClient");
  m.Buffer().Clear();
  m.Buffer().Set("GroupID", "Board");
  m.Buffer().SetLong("FK_MVClientID", 77);
  ASSERT_EQ(m.TryInsert(), 0);
  LoadGroupMembers(d, "Board");
  EXPECT_EQ(Members(), (std::vector<std::string>{"Amy"}));
}

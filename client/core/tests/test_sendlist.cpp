// Recipient list building against a real keyed address book.
#include <gtest/gtest.h>

#include "client/core/sendlist.h"
#include "client/core/tests/book.h"

using namespace mvn::client;
using clienttest::ListOf;
using clienttest::MakeBook;
using clienttest::MarkGroups;
using V = std::vector<std::string>;

namespace {

class SendListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A: fax and e-mail (prefers the e-mail, PDF); B: e-mail only; C: fax
    // only; D: no destinations at all.
    MakeBook(d, dir.str(),
             {{1, "Ann", "A Ltd", "111", "a@x.test", "a@x.test", "PDF", "Dr", "Ann", "Ames"},
              {2, "Bob", "B Ltd", "", "b@x.test", "b@x.test", "", "", "Bob", "Baker"},
              {3, "Cy", "C Ltd", "333", "", "333", "", "", "Cy", "Cole"},
              {4, "Di", "D Ltd", "", "", "", "", "", "Di", "Dunn"}},
             {{"Sales", 1}, {"Sales", 2}, {"Sales", 3}, {"Sales", 4}, {"Board", 1}});
  }
  mvntest::TempDir dir;
  Dictionary d;
};

TEST_F(SendListTest, GroupSendPreferencesChooseEachMembersDestinations) {
  struct Case {
    const char* setting;
    V expected;
  } cases[] = {
      {"Fax Only", {"1:111", "3:333"}},
      {"EMAIL ONLY", {"1:a@x.test", "2:b@x.test"}},
      {"fax then email", {"1:111", "2:b@x.test", "3:333"}},
      {"FAX AND EMAIL", {"1:111", "1:a@x.test", "2:b@x.test", "3:333"}},
      {"USE ENTRY DEFAULT", {"1:a@x.test", "2:b@x.test", "3:333"}},
      {"something else", {"1:a@x.test", "2:b@x.test", "3:333"}},
  };
  for (const Case& c : cases) {
    // Ann is in both marked groups and still comes once (twice only for
    // her two destinations).
    MarkGroups(d, {{"Sales", true}, {"Board", true}});
    SendListSource source;
    source.groupSend = ParseGroupSend(c.setting);
    BuildSendList(d, source);
    EXPECT_EQ(ListOf(d), c.expected) << c.setting;
    // Ann prefers her e-mail: her attachment type rides on every entry of hers.
    auto& q = d.Queues().g_QsendTo;
    for (int i = 1; i <= q.Records(); ++i)
      EXPECT_EQ(q.Entry(i).Clipped("EmailFormat"), q.Entry(i).GetLong("MVClientID") == 1 ? "PDF" : "") << c.setting;
  }
}

TEST_F(SendListTest, SingleRecipientAndSendToAll) {
  MarkGroups(d, {{"Board", true}});
  SendListSource source;
  source.recipient.destination = "999";
  source.recipient.name = "Typed";
  BuildSendList(d, source);
  // Typed by hand (id 0): listed beside Ann from the group.
  EXPECT_EQ(ListOf(d), (V{"0:999", "1:a@x.test"}));

  // Picked from the book: Ann is recognised by her record id.
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  clients.Buffer().Clear();
  clients.Buffer().SetLong("PK_MVClientID", 1);
  ASSERT_EQ(clients.TryFetch("MVC:KeyPK_MVClientID"), 0);
  SelectRecipientRecord(source.recipient, clients.Buffer());
  d.CloseAll();
  EXPECT_EQ(source.recipient.recordId, 1);
  EXPECT_EQ(source.recipient.attachmentType, "PDF");
  BuildSendList(d, source);
  EXPECT_EQ(ListOf(d), (V{"1:a@x.test"}));
  // The upload never takes the single recipient.
  BuildSendToList(d, source);
  EXPECT_EQ(ListOf(d), (V{"1:a@x.test"}));

  // Everybody, in record order, blank destinations too; groups and the
  // recipient ignored.
  source.sendToAll = true;
  BuildSendList(d, source);
  EXPECT_EQ(ListOf(d), (V{"1:a@x.test", "2:b@x.test", "3:333", "4:"}));

  // Nothing marked, nothing typed: an empty list.
  MarkGroups(d, {{"Sales", false}});
  BuildSendList(d, SendListSource{});
  EXPECT_EQ(ListOf(d), V{});
}

// Members that make up a good part of the book are read in one pass over
// the book, a few members of a large book one lookup each: both give the
// same list. Padding records that belong to no group choose the lookups.
TEST(SendListOrder, SortedExceptTheLastRowsEntries) {
  for (int padding : {0, 40}) {
    mvntest::TempDir dir;
    Dictionary d;
    std::vector<clienttest::Person> people = {{3, "Three", "", "3", "", "3", "", "", "", ""},
                                              {5, "Five", "", "5", "", "5", "", "", "", ""},
                                              {7, "Seven", "", "7", "", "7", "", "", "", ""}};
    for (int i = 0; i < padding; ++i) people.push_back({100 + i, "Other " + std::to_string(i), "", "1", "", "1", "", "", "", ""});
    MakeBook(d, dir.str(), people, {{"G", 7}, {"G", 3}, {"G", 5}, {"G", 99}});
    MarkGroups(d, {{"G", true}});
    // The row of record 99 names no record and is passed over: 5 stays the
    // last row read.
    BuildSendList(d, SendListSource{});
    EXPECT_EQ(ListOf(d), (V{"3:3", "7:7", "5:5"})) << padding;
    BuildSendToList(d, SendListSource{});
    EXPECT_EQ(ListOf(d), (V{"7:7", "3:3", "5:5"})) << padding;
  }
}

TEST(SendListOrder, MembersOfTwoGroupsAndThePickedRecipientComeOnceEitherWay) {
  for (int padding : {0, 40}) {
    mvntest::TempDir dir;
    Dictionary d;
    std::vector<clienttest::Person> people = {{1, "Ann", "A Ltd", "111", "a@x.test", "a@x.test", "PDF", "", "", ""},
                                              {2, "Bob", "B Ltd", "", "b@x.test", "b@x.test", "", "", "", ""},
                                              {4, "Di", "D Ltd", "", "", "", "", "", "", ""},
                                              {6, "Flo", "F Ltd", "666", "f@x.test", "666", "", "", "", ""}};
    for (int i = 0; i < padding; ++i) people.push_back({100 + i, "Other " + std::to_string(i), "", "1", "", "1", "", "", "", ""});
    // Di has no destination: her row is read (and sorts the list) but adds
    // nothing; Bob and Ann are in both groups.
    MakeBook(d, dir.str(), people, {{"A", 6}, {"A", 2}, {"A", 4}, {"B", 2}, {"B", 1}, {"B", 4}});
    MarkGroups(d, {{"A", true}, {"B", true}});
    SendListSource source;
    source.groupSend = GroupSend::FaxAndEmail;
    source.recipient.destination = "f@x.test";
    source.recipient.name = "Flo";
    source.recipient.recordId = 6;  // picked from the book
    BuildSendList(d, source);
    EXPECT_EQ(ListOf(d), (V{"1:111", "1:a@x.test", "2:b@x.test", "6:f@x.test"})) << padding;
    BuildSendToList(d, source);
    EXPECT_EQ(ListOf(d), (V{"6:666", "6:f@x.test", "2:b@x.test", "1:111", "1:a@x.test"})) << padding;
  }
}

TEST(SingleRecipient, NameSplitAndRecordIdResets) {
  struct Case {
    const char* name;
    const char *title, *first, *last;
  } cases[] = {
      {"Dr Ann Lee Smith", "Dr", "Ann", "Lee Smith"},
      {"Ann Lee", "", "Ann", "Lee"},
      {"Ann   ", "", "Ann", ""},
      {"Professorship Anna-Maria-Theresa-Louise Smith", "Professors", "Anna-Maria-Theresa-L", "Smith"},
  };
  for (const Case& c : cases) {
    SingleRecipient r;
    r.recordId = 12;
    r.attachmentType = "TIFF";
    r.name = c.name;
    AcceptRecipientName(r);
    EXPECT_EQ(r.title, c.title) << c.name;
    EXPECT_EQ(r.firstName, c.first) << c.name;
    EXPECT_EQ(r.lastName, c.last) << c.name;
    EXPECT_EQ(r.recordId, 0);
    EXPECT_EQ(r.attachmentType, "");
  }
  SingleRecipient r;
  r.recordId = 5;
  r.title = "Dr";
  AcceptRecipientAddress(r);
  EXPECT_EQ(r.recordId, 0);
  EXPECT_EQ(r.title, "Dr");
}

}  // namespace

// Recipient list building: who a send goes to.
//
// The send window keeps one single recipient (typed, or picked from the
// address book) and the group-send preference; a send fills g_QsendTo from
// the single recipient, the whole address book ("Send to all recipients")
// or the members of the marked groups of g_Qgroups. The list upload fills
// the same queue from the book or the groups only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/records/records.h"
#include "framework/core/record.h"

namespace mvn::client {

// The send window's single recipient: the visible name, company and
// destination fields and the hidden record id (0 = typed by hand), title,
// first name, last name and attachment type, each holding the bytes below.
constexpr size_t kRecipientToBytes = 50;
constexpr size_t kRecipientCompanyBytes = 100;
constexpr size_t kRecipientDestinationBytes = 100;
constexpr size_t kRecipientTitleBytes = 10;
constexpr size_t kRecipientNameBytes = 20;  // first name, last name
constexpr size_t kRecipientAttachmentTypeBytes = 4;
struct SingleRecipient {
  std::string name;
  std::string company;
  std::string destination;
  int32_t recordId = 0;
  std::string title;
  std::string firstName;
  std::string lastName;
  std::string attachmentType;
};

// A record picked in the address book: name, company and destination from
// ClientID, Company and PreferredDestination, the hidden fields from the
// record id, Sal, FirstName, LastName and FaxToEmailAttachmentType (clipped).
void SelectRecipientRecord(SingleRecipient& recipient, const framework::Record& mvc);
// The name field accepted: the clipped name is split at blanks (one word:
// first name; two: first and last; more: title, first name, the rest as last
// name), each part cut to its width; attachment type and record id cleared.
void AcceptRecipientName(SingleRecipient& recipient);
// The company or destination field accepted: the record id becomes 0.
void AcceptRecipientAddress(SingleRecipient& recipient);

// The group-send preference (the menu's check flags; None when no flag is set).
enum class GroupSend { None = 0, FaxOnly = 1, EmailOnly = 2, FaxThenEmail = 3, FaxAndEmail = 4, UseEntryDefault = 5 };
// [Default] DefaultGroupSend: "FAX ONLY" ... "USE ENTRY DEFAULT" (no case);
// anything else is None.
GroupSend ParseGroupSend(std::string_view value);

struct SendListSource {
  SingleRecipient recipient;
  bool sendToAll = false;  // "Send to all recipients"
  GroupSend groupSend = GroupSend::None;
};

// Fills g_QsendTo for a send, reading the current address book's MVClients
// and MVGroupClient through the dictionary (own cursors; the tables are
// opened for the call when they are not open). Order: with groups, the
// entries in ascending record id except those added for the last membership
// row read, which stand at the end; with "Send to all recipients", the
// book's record order. A member already listed (by record id) is not added
// again. Unreadable tables give fewer or no entries.
void BuildSendList(Dictionary& dictionary, const SendListSource& source);
// The same for the list upload: no single recipient, no sorting (entries in
// the order added: groups in queue order, members in key order).
void BuildSendToList(Dictionary& dictionary, const SendListSource& source);

// A table of the current book with a cursor of its own (a second
// declaration of the dictionary's file), open for the object's life when it
// could be opened.
class BookTable {
 public:
  explicit BookTable(FileManager& file);
  ~BookTable();
  BookTable(const BookTable&) = delete;
  BookTable& operator=(const BookTable&) = delete;
  bool Ok() const { return m_ok; }
  FileManager& File() { return *m_file; }

 private:
  std::unique_ptr<FileManager> m_file;
  bool m_ok = false;
};

}  // namespace mvn::client

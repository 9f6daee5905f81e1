// Recipient list building (see sendlist.h).
#include "client/core/sendlist.h"

#include <algorithm>
#include <memory>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "framework/core/strings.h"

namespace mvn::client {

using framework::Clip;
using framework::CompareNoCase;
using framework::CutUtf8;
using framework::LayoutPtr;
using framework::Record;
using framework::Upper;

BookTable::BookTable(FileManager& file) : m_file(file.Clone()) {
  // Reading a list never makes a book that is not there.
  m_file->SetCreate(false);
  m_ok = m_file->TryOpen(framework::ReadOnly | framework::DenyNone) == framework::NoError;
}

BookTable::~BookTable() {
  if (m_ok) m_file->Close();
}

void SelectRecipientRecord(SingleRecipient& r, const Record& mvc) {
  r.name = Clip(mvc.Get("ClientID"));
  r.company = Clip(mvc.Get("Company"));
  r.destination = Clip(mvc.Get("PreferredDestination"));
  r.recordId = static_cast<int32_t>(mvc.GetLong("PK_MVClientID"));
  r.title = CutUtf8(Clip(mvc.Get("Sal")), kRecipientTitleBytes);
  r.firstName = CutUtf8(Clip(mvc.Get("FirstName")), kRecipientNameBytes);
  r.lastName = CutUtf8(Clip(mvc.Get("LastName")), kRecipientNameBytes);
  r.attachmentType = CutUtf8(Clip(mvc.Get("FaxToEmailAttachmentType")), kRecipientAttachmentTypeBytes);
}

void AcceptRecipientName(SingleRecipient& r) {
  std::string name = Clip(r.name);
  size_t first = name.find(' ');
  if (first == std::string::npos) {
    r.title.clear();
    r.firstName = name;
    r.lastName.clear();
  } else {
    size_t second = name.find(' ', first + 1);
    if (second == std::string::npos) {
      r.title.clear();
      r.firstName = name.substr(0, first);
      r.lastName = name.substr(first + 1);
    } else {
      r.title = name.substr(0, first);
      r.firstName = name.substr(first + 1, second - first - 1);
      r.lastName = name.substr(second + 1);
    }
  }
  r.title = CutUtf8(r.title, kRecipientTitleBytes);
  r.firstName = CutUtf8(r.firstName, kRecipientNameBytes);
  r.lastName = CutUtf8(r.lastName, kRecipientNameBytes);
  r.attachmentType.clear();
  r.recordId = 0;
}

void AcceptRecipientAddress(SingleRecipient& r) { r.recordId = 0; }

GroupSend ParseGroupSend(std::string_view value) {
  std::string v = Upper(Clip(framework::Left(value)));
  if (v == "FAX ONLY") return GroupSend::FaxOnly;
  if (v == "EMAIL ONLY") return GroupSend::EmailOnly;
  if (v == "FAX THEN EMAIL") return GroupSend::FaxThenEmail;
  if (v == "FAX AND EMAIL") return GroupSend::FaxAndEmail;
  if (v == "USE ENTRY DEFAULT") return GroupSend::UseEntryDefault;
  return GroupSend::None;
}

namespace {

// The fields of a g_QsendTo entry, found by name once per list.
struct EntryFields {
  explicit EntryFields(const framework::Layout& l)
      : mark(l.FindField("Mark")),
        id(l.FindField("MVClientID")),
        toName(l.FindField("ToName")),
        company(l.FindField("Company")),
        destination(l.FindField("Destination")),
        title(l.FindField("Title")),
        firstName(l.FindField("FirstName")),
        lastName(l.FindField("LastName")),
        emailFormat(l.FindField("EmailFormat")) {}
  int mark, id, toName, company, destination, title, firstName, lastName, emailFormat;
};

// The list as it is built: each entry made once as a record of the queue's
// layout and later moved into the queue (never copied), with its record id
// beside it so that the sort compares numbers without parsing a field.
class EntryList {
 public:
  explicit EntryList(Queue& queue) : m_layout(queue.Buffer().GetLayoutPtr()), m_fields(*m_layout) {}

  void Add(int32_t id, std::string_view toName, std::string_view company, std::string_view destination,
           std::string_view title, std::string_view firstName, std::string_view lastName,
           std::string_view emailFormat) {
    Record& r = m_records.emplace_back(m_layout);
    r.SetNumber(m_fields.mark, 1);
    r.SetNumber(m_fields.id, id);
    r.SetText(m_fields.toName, toName);
    r.SetText(m_fields.company, company);
    r.SetText(m_fields.destination, destination);
    r.SetText(m_fields.title, title);
    r.SetText(m_fields.firstName, firstName);
    r.SetText(m_fields.lastName, lastName);
    r.SetText(m_fields.emailFormat, emailFormat);
    m_ids.push_back(id);
  }
  size_t Size() const { return m_records.size(); }

  // Refills the queue with the entries at the positions in order (in that
  // order), the first sortedCount of them in ascending record-id order
  // (stable: equal ids keep their order) and the rest after them as they
  // stand. The queue ends as adding each entry in turn would leave it: the
  // last entry current.
  void MoveInto(Queue& queue, std::vector<uint32_t> order, size_t sortedCount) {
    std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(sortedCount),
                     [&](uint32_t a, uint32_t b) { return m_ids[a] < m_ids[b]; });
    m_ids = {};
    queue.Free();
    queue.Reserve(order.size());
    for (uint32_t i : order) queue.Append(std::move(m_records[i]));
    order = {};
    m_records = {};
    if (queue.Records() > 0) queue.Get(queue.Records());
  }
  // Every entry in the order added.
  void MoveInto(Queue& queue) {
    std::vector<uint32_t> order(m_records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    MoveInto(queue, std::move(order), 0);
  }

 private:
  LayoutPtr m_layout;
  EntryFields m_fields;
  std::vector<Record> m_records;
  std::vector<int32_t> m_ids;
};

// The fields of the address record a list reads, found by name once per
// list instead of once per member.
struct ClientFields {
  explicit ClientFields(const framework::Layout& l)
      : id(l.FindField("PK_MVClientID")),
        name(l.FindField("ClientID")),
        company(l.FindField("Company")),
        title(l.FindField("Sal")),
        firstName(l.FindField("FirstName")),
        lastName(l.FindField("LastName")),
        preferred(l.FindField("PreferredDestination")),
        email(l.FindField("Email")),
        fax(l.FindField("FaxNum")),
        attachmentType(l.FindField("FaxToEmailAttachmentType")) {}
  int id, name, company, title, firstName, lastName, preferred, email, fax, attachmentType;
};

// One entry from an address record with the given destination.
void AddFromRecord(EntryList& entries, const Record& mvc, const ClientFields& f, std::string_view destination) {
  std::string emailFormat;
  if (Clip(mvc.GetText(f.preferred)) == Clip(mvc.GetText(f.email))) emailFormat = Clip(mvc.GetText(f.attachmentType));
  entries.Add(static_cast<int32_t>(mvc.GetNumber(f.id)), mvc.GetText(f.name), mvc.GetText(f.company), destination,
              Clip(mvc.GetText(f.title)), Clip(mvc.GetText(f.firstName)), Clip(mvc.GetText(f.lastName)), emailFormat);
}

// The destinations one group member gets under the preference.
std::vector<std::string> MemberDestinations(const Record& mvc, const ClientFields& f, GroupSend preference) {
  std::string fax = Clip(mvc.GetText(f.fax));
  std::string email = Clip(mvc.GetText(f.email));
  std::string preferred = Clip(mvc.GetText(f.preferred));
  std::vector<std::string> out;
  switch (preference) {
    case GroupSend::FaxOnly:
      if (!fax.empty()) out.push_back(fax);
      break;
    case GroupSend::EmailOnly:
      if (!email.empty()) out.push_back(email);
      break;
    case GroupSend::FaxThenEmail:
      if (!fax.empty())
        out.push_back(fax);
      else if (!email.empty())
        out.push_back(email);
      break;
    case GroupSend::FaxAndEmail:
      if (!fax.empty()) out.push_back(fax);
      if (!email.empty()) out.push_back(email);
      break;
    default:
      if (!preferred.empty()) out.push_back(preferred);
      break;
  }
  return out;
}

void Build(Dictionary& dictionary, const SendListSource& source, bool forSend) {
  Queue& sendTo = dictionary.Queues().g_QsendTo;
  // The last list goes first: its entries are not held beside the new ones.
  sendTo.Free();
  EntryList entries(sendTo);
  std::unordered_set<int32_t> listed;

  if (forSend && !source.sendToAll && !Clip(source.recipient.destination).empty()) {
    const SingleRecipient& r = source.recipient;
    entries.Add(r.recordId, r.name, r.company, r.destination, r.title, r.firstName, r.lastName, r.attachmentType);
    listed.insert(r.recordId);
  }

  const ClientFields fields(*dictionary.File("MVClients").GetLayout());
  if (source.sendToAll) {
    BookTable clients(dictionary.File("MVClients"));
    if (clients.Ok() && clients.File().Set() == framework::NoError) {
      while (clients.File().Next() == framework::NoError) {
        const Record& mvc = clients.File().Buffer();
        AddFromRecord(entries, mvc, fields, mvc.GetText(fields.preferred));
      }
    }
    entries.MoveInto(sendTo);
    return;
  }

  BookTable clients(dictionary.File("MVClients"));
  BookTable members(dictionary.File("MVGroupClient"));
  // The positions of the list's entries among those made, in the list's
  // order (an entry made for a member found already listed is left out).
  std::vector<uint32_t> order;
  if (entries.Size()) order.push_back(0);
  // The send sorts its list by record id before each member lookup, so at
  // the end every entry stands in id order except those added for the last
  // row read. The same result in one sort: remember how many entries the
  // last sort saw.
  bool sorted = false;
  size_t sortedCount = 0;
  Queue& groups = dictionary.Queues().g_Qgroups;
  // The whole read in one transaction of the book (both tables live in its
  // one database): one lock of the file instead of one per record read. A
  // book that cannot be locked for it (read-only) is read without.
  bool inTransaction = clients.Ok() && members.Ok() && clients.File().BeginTransaction() == framework::NoError;
  // Every membership row of the marked groups: the member's record id, in
  // the order the rows are read.
  std::vector<int32_t> rows;
  if (clients.Ok() && members.Ok()) {
    for (int g = 1; g <= groups.Records(); ++g) {
      const Record& group = groups.Entry(g);
      if (group.GetLong("Mark") == 0) continue;
      std::string groupId = Clip(group.Get("GroupID"));
      FileManager& m = members.File();
      m.Buffer().Clear();
      m.Buffer().Set("GroupID", groupId);
      if (m.SetFrom("MVGC:KeyGroupID") != framework::NoError) continue;
      const int groupField = m.GetLayout()->FindField("GroupID");
      const int clientField = m.GetLayout()->FindField("FK_MVClientID");
      while (m.Next() == framework::NoError) {
        if (CompareNoCase(Clip(m.Buffer().GetText(groupField)), groupId) != 0) break;
        rows.push_back(static_cast<int32_t>(m.Buffer().GetNumber(clientField)));
      }
    }
  }
  // A row whose record is found: the list is sorted (for a send), and the
  // member's entries (first, count among those made) join the list unless
  // the member is listed already.
  auto take = [&](int32_t id, uint32_t first, uint32_t count) {
    if (forSend) {
      sorted = true;
      sortedCount = order.size();
    }
    if (listed.count(id)) return;
    for (uint32_t k = 0; k < count; ++k) order.push_back(first + k);
    if (count) listed.insert(id);
  };
  FileManager& c = clients.File();
  const int64_t bookSize = rows.empty() ? 0 : c.Records();
  if (!rows.empty() && bookSize >= 0 && static_cast<int64_t>(rows.size()) * 4 >= bookSize) {
    // Members that make up a good part of the book: their records are read
    // in one pass over the book in file order (one running statement, as a
    // join reads) instead of one lookup each, and each found member's
    // entries are made as its record passes; then the rows are taken in
    // their order as the lookups would have taken them.
    constexpr uint32_t kNotFound = UINT32_MAX;
    std::unordered_map<int32_t, std::pair<uint32_t, uint32_t>> made;
    made.reserve(rows.size());
    for (int32_t id : rows) made.emplace(id, std::pair<uint32_t, uint32_t>(kNotFound, 0));
    c.SequentialScan(true);
    if (c.Set() == framework::NoError) {
      while (c.Next() == framework::NoError) {
        auto it = made.find(static_cast<int32_t>(c.Buffer().GetNumber(fields.id)));
        if (it == made.end() || it->second.first != kNotFound) continue;
        const auto first = static_cast<uint32_t>(entries.Size());
        if (!listed.count(it->first))
          for (const std::string& destination : MemberDestinations(c.Buffer(), fields, source.groupSend))
            AddFromRecord(entries, c.Buffer(), fields, destination);
        it->second = {first, static_cast<uint32_t>(entries.Size()) - first};
      }
    }
    c.SequentialScan(false);
    for (int32_t id : rows) {
      auto it = made.find(id);
      if (it != made.end() && it->second.first != kNotFound) take(id, it->second.first, it->second.second);
    }
  } else {
    for (int32_t id : rows) {
      c.Buffer().Clear();
      c.Buffer().SetNumber(fields.id, id);
      if (c.TryFetch("MVC:KeyPK_MVClientID") != framework::NoError) continue;
      const auto first = static_cast<uint32_t>(entries.Size());
      if (!listed.count(id))
        for (const std::string& destination : MemberDestinations(c.Buffer(), fields, source.groupSend))
          AddFromRecord(entries, c.Buffer(), fields, destination);
      take(id, first, static_cast<uint32_t>(entries.Size()) - first);
    }
  }
  if (inTransaction) c.Commit();
  entries.MoveInto(sendTo, std::move(order), sorted ? sortedCount : 0);
}

}  // namespace

void BuildSendList(Dictionary& dictionary, const SendListSource& source) { Build(dictionary, source, true); }
void BuildSendToList(Dictionary& dictionary, const SendListSource& source) { Build(dictionary, source, false); }

}  // namespace mvn::client

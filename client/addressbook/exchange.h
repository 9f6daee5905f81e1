// CSV export and import of an address book.
//
// The export writes a header line (through the line file TMPASC2) and then
// one MVCB row per address record, in stored order, with up to 20 of the
// record's group names and its two addresses cut into four lines of at most
// 40 characters. The import reads any comma-delimited file line by line into
// MVCB2 records and maps its columns by position to address fields or to
// groups; each line adds at most one address record (MVC:KeyUniq decides
// what is a duplicate) and its memberships, creating groups on the fly.
//
// Both runs are framework processes with a progress window whose Cancel
// stops them between records; what they wrote until then stays. Their
// outcome (finished, cancelled, failed, with counts) is returned so the
// caller shows the right message.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/records/records.h"

namespace mvn::client {

// The export's header line (no line end).
std::string ExportHeaderLine();

// An address cut into the four 40-character lines of the export. Lines end
// at CR LF, CR or LF; leading blanks of each line are removed; an empty
// line keeps its place (the lines after it are not lost); text after the
// fourth line is not exported.
std::array<std::string, 4> CutAddress(std::string_view address);

// How a run ended.
struct ExchangeResult {
  enum Status { Finished, Cancelled, Failed };
  Status status = Finished;
  int64_t records = 0;     // export: rows written; import: records added
  int64_t duplicates = 0;  // import: lines that matched an existing record
  int64_t skipped = 0;     // import: lines without contact, company and destination
  int64_t failed = 0;      // import: lines or memberships that could not be added
  int64_t groupsCreated = 0;
  std::string error;  // the failure's text (Failed), or the first failed insert's
  // The message the caller shows: "Export finished." / "Import finished."
  // when everything went, else what stopped or failed.
  std::string text;
};

// ExportKDFToTxt: writes the current book (the dictionary's MVClients,
// MVGroupClient) into the file named by the MVCB file manager, replacing
// it. Refuses a target that is one of the dictionary's data files. The
// window's tables are read through clones, so their cursors stay put.
ExchangeResult ExportKDFToTxt(Dictionary& dict);

// The import field list: the 32 mapping targets in order.
const std::vector<std::string>& ImportFieldList();
// The address field a mapping target writes ("TITLE" -> "Sal",
// "ATTENTION" -> "ClientID", "POSTALADD1" -> "PostalAddress" ...); "" for
// an unknown name.
std::string ImportTargetField(std::string_view listName);

constexpr int kMaxImportPairs = 39;
constexpr int kMaxImportGroupColumns = 20;
constexpr size_t kMaxListText = 49;

// The compiled mapping of "Start import".
struct ImportMap {
  // (MVCB2 field index, 0-based; mapping target list name), in column order.
  std::vector<std::pair<int, std::string>> pairs;
  std::vector<int> groupColumns;  // MVCB2 field indexes
  std::string group;              // "Add to group": the group, or empty
};

// The state the import options window and the run share: the file, the
// "Include first line" switch (kept while the client runs), the start flag,
// the compiled map and the line counter.
struct ImportSession {
  std::string fileName;  // g_MVClientsBFullPathName2
  bool include1stLine = false;
  bool start = false;
  ImportMap map;
  int64_t lineCounter = 0;
};

// The import column list of the options window: one row per MVCB2 field,
// its title from the file's first line and its mapping.
class ImportColumns {
 public:
  struct Row {
    std::string title;
    std::string mapping;  // "", a field list name or "Group"
  };
  ImportColumns();

  // Reads the file's first line into the titles (all empty when the file
  // has no line). Returns the framework's error code of opening it.
  int ReadTitles(Dictionary& dict, const std::string& fileName);

  const std::vector<Row>& Rows() const { return m_rows; }
  // Mapping a column (0-based) to a field list name or to "Group". Refused,
  // with the reason in *message, when the limit of 39 mapped fields or 20
  // group columns is reached.
  bool Map(int column, std::string_view listName, std::string* message);
  bool MapGroup(int column, std::string* message);
  void Unmap(int column);

  // "Start import": the pairs in column order, the group columns and the
  // import group (selectedGroup when addToGroup is on).
  ImportMap Compile(bool addToGroup, std::string_view selectedGroup) const;

 private:
  int CountPairs() const;
  int CountGroups() const;
  std::vector<Row> m_rows;
};

// ImportTxtToKDF2: imports session.fileName with session.map into the
// current book. Commits in batches, so a large file costs one transaction
// per batch and a cancel keeps what was added. reloadGroups, when given,
// is called at the end (the send window's LoadGroupList).
ExchangeResult ImportTxtToKDF2(Dictionary& dict, ImportSession& session,
                               const std::function<void()>& reloadGroups = {});

}  // namespace mvn::client

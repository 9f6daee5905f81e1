// The client's data dictionary: its eighteen declared files, their record
// layouts and keys, the relations between the address-book and
// charge-account tables, and the eleven global queues.
//
// Address books and the charge-account database are keyed data files
// ("<book>.KDF", one table per record kind). The address-book tables, the
// charge-account tables and the send log are created when first opened;
// every other file must exist (an import file or attachment that is missing
// is reported as missing, never created empty).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/core/filemanager.h"
#include "framework/core/queue.h"
#include "framework/core/relation.h"

namespace mvn::client {

using framework::FileManager;
using framework::LayoutPtr;
using framework::Queue;
using framework::RelationManager;

// Record layouts, by the label of their file.
LayoutPtr MVClientsLayout();
LayoutPtr MVusersLayout();
LayoutPtr MVGroupClientLayout();
LayoutPtr MVdefaultsLayout();
LayoutPtr ChargeAccountLayout();
LayoutPtr ChargeUserLayout();
LayoutPtr ChargeUserAccountLayout();
LayoutPtr SNDLayout();
LayoutPtr UPLDLayout();
LayoutPtr MVCBLayout();
LayoutPtr MVCB2Layout();
LayoutPtr BAS1Layout();
LayoutPtr FAXLayout();
LayoutPtr TMPRTFLayout();
LayoutPtr TMPASC2Layout();
LayoutPtr TMPASCLayout();
LayoutPtr BYTLayout();
LayoutPtr AttachmentProbeLayout();  // no fields

// The bytes of text a declared field holds: a STRING(n) n, a CSTRING(n)
// n-1 (it keeps one byte for its end); 0 for a number or an unknown name.
size_t FieldBytes(const framework::Layout& layout, std::string_view field);
constexpr size_t CStringBytes(int width) { return static_cast<size_t>(width - 1); }

// Declared widths of the fields whose limit other code applies itself (an
// entry of a window, a check before a key is written). The layouts are
// declared with them, so a change here changes every such limit.
constexpr int kPathNameWidth = 150;     // CSTRING: g_QaddressBooks pathName, g_QautoText fullPathName
constexpr int kBookNameWidth = 80;      // CSTRING: g_QaddressBooks Name
constexpr int kBookDriverWidth = 20;    // CSTRING: g_QaddressBooks Driver
constexpr int kAutoTextNameWidth = 80;  // CSTRING: g_QautoText Name
constexpr int kGroupIdWidth = 100;      // GroupID of MVGroupClient, MVdefaults and the group queues

// The longest path an address book (or any file name held in a 150-byte
// field) may have: 149 bytes.
constexpr size_t kMaxPathLength = CStringBytes(kPathNameWidth);

// The client's global texts that are no record field, in bytes of text.
constexpr size_t kCoverPageNameBytes = 99;  // the chosen cover page, a cover page's name
constexpr size_t kDialogNameBytes = 149;    // g_NameValueDialog Name
constexpr size_t kDialogValueBytes = 199;   // g_NameValueDialog Value
constexpr size_t kEnterValueBytes = 199;    // g_EnterValue

// One entry of the table registry.
struct TableEntry {
  std::string label;
  FileManager* file;
  RelationManager* relation;
};

// The global queues.
struct GlobalQueues {
  GlobalQueues();
  Queue g_QautoText;
  Queue g_QimageFiles;
  Queue g_QremoteLists;
  Queue g_QcoverPages;
  Queue g_QattachOtherFiles;
  Queue g_Qgroups;
  Queue g_QsendTo;
  Queue g_QaddressBooks;
  Queue g_relatedGroupsQ;
  Queue g_relatedClientsQ;
  Queue g_ChargeCodeQ;
};

class Dictionary {
 public:
  // InitDictionary: one file manager and one relation manager per file,
  // with their keys and the four relations.
  Dictionary();
  // KillDictionary: closes the files and disposes the managers in the
  // reverse order of construction.
  ~Dictionary();
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;

  // The eighteen files, in declaration order.
  const std::vector<TableEntry>& Tables() const { return m_tables; }
  // The entry of a label ("MVClients", no case), or nullptr.
  const TableEntry* Find(std::string_view label) const;
  FileManager& File(std::string_view label) const;
  RelationManager& Relation(std::string_view label) const;

  // Sets the table names of an address book: "<path>/!MVClients" and so on
  // for a keyed book (driver "KEYED" or empty), the bare table names for an
  // "ODBC" book (its path is the data source). A path longer than
  // kMaxPathLength or an unknown driver sets no names (every book table is
  // left without a name, so nothing of another book is opened), sets
  // ERRORCODE and returns false with the message in *message.
  bool SetAddressBookFiles(std::string_view path, std::string_view driver, std::string* message = nullptr);
  // The name of the image-library table of the current book (no record is
  // declared on it).
  const std::string& MVimageLibName() const { return m_imageLib; }
  // Opens the four record tables of the current book (a missing book file
  // comes into being with all five tables, MVimageLib included). On a
  // failure the tables opened so far are closed again. A keyed book the
  // user may not write (the file or its folder) is opened for reading
  // instead: ReadOnlyBook() then gives the text that says so, the text its
  // tables refuse every change with ("" for a book opened for writing).
  int OpenAddressBook(unsigned mode = framework::Shared);
  const std::string& ReadOnlyBook() const { return m_readOnlyBook; }

  // Sets the charge-account table names inside the keyed data file path,
  // the database file's name as it is to be opened (its extension included;
  // no length limit: the caller checks what its settings field holds).
  bool SetChargeAccountFiles(std::string_view path, std::string* message = nullptr);

  GlobalQueues& Queues() { return m_queues; }

  void CloseAll();

 private:
  void Declare(const std::string& label, framework::Driver driver, LayoutPtr layout, bool create,
               std::string name = std::string());

  std::vector<std::unique_ptr<FileManager>> m_files;
  std::vector<std::unique_ptr<RelationManager>> m_relations;
  std::vector<TableEntry> m_tables;
  std::string m_imageLib;
  std::string m_readOnlyBook;
  GlobalQueues m_queues;
};

// The process's dictionary between InitDictionary and KillDictionary.
Dictionary& InitDictionary();
void KillDictionary();
Dictionary* TheDictionary();

}  // namespace mvn::client

// File managers: one declared file (layout, keys, driver, name) with its
// record buffer and its cursor.
//
// Drivers:
//   Keyed  a table of a keyed data file (an SQLite database holding several
//          named tables). The name is "<file>\!<table>" or "<file>/!<table>",
//          split at the last "\!" or "/!"; ".KDF" is added when the file part
//          has no extension; the file is looked up without case.
//   Csv    comma-delimited text, one record per line, fields in declaration
//          order.
//   Dos    raw bytes: Insert(length) appends the first length bytes of the
//          record's first field, Next() reads the next record-size block.
//   Ascii  one text line per record (the first field).
//   Odbc   a table of an ODBC data source (bare table name; the data source
//          is given with SetOwner). Refused with DriverNotSupportedError when
//          the build has no ODBC support.
//
// Every call leaves ERRORCODE (errors.h) and returns it. Reads go into the
// record buffer; writes take the buffer.
//
// Keys of a keyed table compare without regard to ASCII letter case; the
// order of records with equal key values is their insertion order. Cursors
// are keyset cursors: after Set, each Next or Previous reads the record that
// follows (precedes) the last one read in key order, as the table is at that
// moment, so records added or removed meanwhile are seen or skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/core/errors.h"
#include "framework/core/record.h"

namespace mvn::framework {

enum class Driver { Keyed, Csv, Dos, Ascii, Odbc };

// "KEYED" or "" → Keyed, "ODBC", "ASCII", "DOS", "CSV" (no case);
// false for anything else.
bool ParseDriver(std::string_view name, Driver* driver);
const char* DriverName(Driver driver);

// Open modes: an access part and a share part, combined with "|".
enum : unsigned {
  ReadOnly = 0x00,
  WriteOnly = 0x01,
  ReadWrite = 0x02,
  DenyAll = 0x10,
  DenyWrite = 0x20,
  DenyRead = 0x30,
  DenyNone = 0x40,
  Shared = ReadWrite | DenyNone,
  Exclusive = ReadWrite | DenyAll,
};

struct KeyDef {
  std::string name;                 // "MVC:KeyUniq" (compared without case)
  std::vector<std::string> fields;  // in order
  bool unique = false;
  bool primary = false;
  bool autoIncrement = false;  // the key's single LONG field is numbered on insert
};

// Where a record is: enough to come back to it (see FileManager::Reset).
struct Position {
  int64_t row = 0;                  // 0 = no position
  std::vector<std::string> values;  // key values at the time
  bool operator==(const Position&) const = default;
};

class FileBackend;  // one per driver, src/

class FileManager {
 public:
  FileManager(Driver driver, LayoutPtr layout, std::string name = std::string());
  ~FileManager();
  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;

  // A second declaration over the same file: same driver, layout, keys and
  // name, its own buffer and cursor.
  std::unique_ptr<FileManager> Clone() const;

  Driver GetDriver() const { return m_driver; }
  // Changes the driver (closing the file first); keys and name stay.
  void SetDriver(Driver driver);
  const LayoutPtr& GetLayout() const { return m_layout; }
  Record& Buffer() { return m_buffer; }
  const Record& Buffer() const { return m_buffer; }

  // The name variable. Changing it closes the file first.
  void SetName(std::string name);
  const std::string& Name() const { return m_name; }
  // The resolved file path of the open (or last opened) file.
  std::string FilePath() const;
  // ODBC: the data source ("DSN=name" or a connection string).
  void SetOwner(std::string owner) { m_owner = std::move(owner); }
  const std::string& Owner() const { return m_owner; }

  void AddKey(KeyDef key);
  const std::vector<KeyDef>& Keys() const { return m_keys; }
  // Index into Keys() of the key named name (no case), or -1.
  int FindKey(std::string_view name) const;

  // Create-when-missing on Open (default on).
  void SetCreate(bool create) { m_create = create; }
  bool GetCreate() const { return m_create; }
  // Seconds a locked file is waited for before IsLockedError (default 10).
  void SetLockRecoverTime(int seconds) { m_lockRecover = seconds; }
  int LockRecoverTime() const { return m_lockRecover; }
  // Driver commands: "Recover=<seconds>" sets the lock-recovery time.
  // Unknown commands give DriverNotSupportedError.
  int SendDriver(std::string_view command);

  // Reporting hook for the calls without "Try": called with the code and
  // its text when they fail. The GUI installs a message box here.
  using ErrorReporter = std::function<void(const FileManager& file, int code, const std::string& text)>;
  static void SetErrorReporter(ErrorReporter reporter);

  // Opens the file (creating it when missing and create is on; a keyed file
  // missing one of its declared tables gets it). An open file gives
  // AlreadyOpenError and stays open.
  int Open(unsigned mode = Shared);
  int TryOpen(unsigned mode = Shared);
  // Creates the file (an existing text file is replaced; a keyed table is
  // created in its database, the file too when missing).
  int Create();
  int Close();
  bool IsOpen() const;

  // Rebuilds the keys (indexes) of a keyed table; a closed table is opened
  // for it (so an open that gave KeysInvalidError can be mended) and closed
  // again.
  int BuildKeys();

  // Reads the record whose key fields equal those in the buffer.
  int Fetch(std::string_view keyName);
  int TryFetch(std::string_view keyName);

  // Cursor positioning. Set(): file (insertion) order from the start.
  // Set(key): key order from the start (Next reads the first, Previous the
  // last). SetFrom(key): Next reads the first record whose key is >= the
  // key values in the buffer, Previous the last one <= them.
  int Set();
  int Set(std::string_view keyName);
  int SetFrom(std::string_view keyName);
  // Positions so that Next reads the record at position (and Previous the
  // one before it) in the order of keyName ("" = file order). A position
  // from any read, fetch or insert serves every key while its record
  // exists; for a record deleted since, the key values it was read with
  // are used (RecordNotFoundError when they are not those of keyName).
  int Reset(std::string_view keyName, const Position& position);
  int Next();
  int Previous();
  // Position of the record last read, fetched or inserted.
  Position GetPosition() const;
  // Reads the record at position again.
  int Reget(const Position& position);

  // Adds the buffer as a new record. Auto-increment fields that are 0 get
  // the next number (numbers are never reused). A unique key that would be
  // duplicated gives DuplicateKeyError. The record becomes current.
  int Insert();
  int TryInsert();
  // DOS: appends the first length bytes of the buffer.
  int Insert(size_t length);
  // Writes the buffer over the current record (the last read or inserted).
  int Update();
  int TryUpdate();
  // Deletes the current record.
  int Delete();
  int TryDelete();

  // Number of records (-1 when the count fails; ERRORCODE tells why).
  int64_t Records();
  // DOS/ASCII: bytes of the last record read.
  size_t Bytes() const { return m_bytes; }

  // Copies the file (a keyed file: the whole database) to newName; the file
  // must be closed for text drivers. Remove deletes the file (a keyed file
  // with its journal); it must be closed.
  int Copy(std::string_view newName);
  int Remove();

  // Adds are collected and written together (one transaction of a keyed
  // file, one write of a text file) until Flush or Close.
  void BufferAdds(bool on);
  // The fast sequential scan of a keyed table: Next in file order (after
  // Set()) steps one running statement instead of seeking each record
  // anew. What it reads is what the keyset cursor would read: a change made
  // through this program's connection, any other cursor call, and the end
  // of a transaction (which lets other programs in) make it seek again after
  // the last record read. Between reads outside a transaction it holds the
  // file's read lock, so a long walk runs in transactions of a batch of
  // records. Off by default and on close; other drivers ignore it.
  void SequentialScan(bool on);
  int Flush();

  // A transaction over the keyed data file of this table (nestable: only the
  // outermost commits). Text drivers accept them and do nothing.
  int BeginTransaction();
  // The same, but the outermost one also keeps every other connection
  // (readers included) out of a keyed data file until it ends.
  int BeginExclusiveTransaction();
  int Commit();
  int Rollback();

  // The value of the named field of the buffer as text.
  std::string FieldText(std::string_view fieldName) const { return m_buffer.Get(fieldName); }

  FileBackend* Backend() const { return m_backend.get(); }

 private:
  int Report(int code);

  Driver m_driver;
  LayoutPtr m_layout;
  Record m_buffer;
  std::string m_name;
  std::string m_owner;
  std::vector<KeyDef> m_keys;
  bool m_create = true;
  int m_lockRecover = 10;
  size_t m_bytes = 0;
  bool m_bufferAdds = false;
  std::unique_ptr<FileBackend> m_backend;
};

// Splits a keyed table name into its file and table parts (the table part
// empty when there is no "\!" or "/!"); adds ".KDF" to a file part without
// an extension.
void SplitTableName(std::string_view name, std::string* file, std::string* table);

// The path the drivers open for a file name: "\" read as the separator,
// an existing file found without regard to case.
std::string ResolveFilePath(const std::string& name);

}  // namespace mvn::framework

// The driver interface behind FileManager, and helpers the drivers share.
#pragma once

#include <memory>
#include <string>

#include "framework/core/filemanager.h"

namespace mvn::framework {

// Each call returns an ERRORCODE value and has set it (SetError).
class FileBackend {
 public:
  explicit FileBackend(FileManager& owner) : m_owner(owner) {}
  virtual ~FileBackend() = default;

  virtual int Open(unsigned mode) = 0;
  virtual int Create() = 0;
  virtual int Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual std::string FilePath() const = 0;

  virtual int BuildKeys();
  virtual int Fetch(int key, Record& buffer);
  // key -1: file order. from: the buffer whose key values to start at, or
  // nullptr for the start (or end, for Previous).
  virtual int Set(int key, const Record* from) = 0;
  virtual int Reset(int key, const Position& position);
  virtual int Next(Record& buffer, size_t* bytes) = 0;
  virtual int Previous(Record& buffer, size_t* bytes);
  virtual Position GetPosition() const { return m_position; }
  virtual int Reget(const Position& position, Record& buffer);
  // length: bytes for DOS, ignored otherwise.
  virtual int Insert(Record& buffer, size_t length) = 0;
  virtual int Update(const Record& buffer);
  virtual int Delete();
  virtual int64_t Records() = 0;
  virtual int Copy(const std::string& newName) = 0;
  virtual int Remove() = 0;
  virtual void BufferAdds(bool on) { m_bufferAdds = on; }
  // Reads in file order from one running statement (drivers that read
  // sequentially anyway ignore it).
  virtual void SequentialScan(bool) {}
  virtual int Flush() { return Ok(); }
  virtual int Begin() { return Ok(); }
  // A transaction that also keeps readers of other connections out.
  virtual int BeginExclusive() { return Begin(); }
  virtual int Commit() { return Ok(); }
  virtual int Rollback() { return Ok(); }

 protected:
  int Ok() {
    ClearError();
    return NoError;
  }
  int Fail(int code, const std::string& detail = std::string()) {
    SetError(code, m_owner.Name(), detail);
    return code;
  }
  int Unsupported() { return Fail(DriverNotSupportedError); }

  FileManager& m_owner;
  Position m_position;
  bool m_bufferAdds = false;
};

std::unique_ptr<FileBackend> MakeKeyedBackend(FileManager& owner);
std::unique_ptr<FileBackend> MakeTextBackend(FileManager& owner);  // Csv, Dos, Ascii
std::unique_ptr<FileBackend> MakeOdbcBackend(FileManager& owner);

// The share part of an open mode as FILE_SHARE_* flags.
unsigned long ShareFlags(unsigned mode);
// ERRORCODE for a kernel last-error value.
int ErrorFromWin32(unsigned long win32);
// Existing path found without case (the exact path when nothing matches).
std::string LookUpPath(const std::string& path);
// 0 when path does not exist or is a regular file; AccessDeniedError when it
// is something else (FIFO, device, directory), so it is never opened.
int CheckRegularFile(const std::string& path, bool* exists);

}  // namespace mvn::framework

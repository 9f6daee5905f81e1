#include "framework/core/filemanager.h"

#include "framework/core/src/backend.h"
#include "framework/core/strings.h"

namespace mvn::framework {

namespace {
FileManager::ErrorReporter& Reporter() {
  static FileManager::ErrorReporter reporter;
  return reporter;
}
int Unsupported() {
  SetError(DriverNotSupportedError);
  return DriverNotSupportedError;
}
}  // namespace

bool ParseDriver(std::string_view name, Driver* driver) {
  std::string n = Upper(Clip(name));
  if (n.empty() || n == "KEYED")
    *driver = Driver::Keyed;
  else if (n == "ODBC")
    *driver = Driver::Odbc;
  else if (n == "ASCII")
    *driver = Driver::Ascii;
  else if (n == "DOS")
    *driver = Driver::Dos;
  else if (n == "CSV")
    *driver = Driver::Csv;
  else
    return false;
  return true;
}

const char* DriverName(Driver driver) {
  switch (driver) {
    case Driver::Keyed:
      return "KEYED";
    case Driver::Csv:
      return "CSV";
    case Driver::Dos:
      return "DOS";
    case Driver::Ascii:
      return "ASCII";
    case Driver::Odbc:
      return "ODBC";
  }
  return "";
}

void SplitTableName(std::string_view name, std::string* file, std::string* table) {
  size_t a = name.rfind("\\!"), b = name.rfind("/!");
  size_t at = a == std::string_view::npos ? b : b == std::string_view::npos ? a : std::max(a, b);
  std::string f(name), t;
  if (at != std::string_view::npos) {
    f = std::string(name.substr(0, at));
    t = std::string(name.substr(at + 2));
  }
  size_t slash = f.find_last_of("/\\");
  std::string base = slash == std::string::npos ? f : f.substr(slash + 1);
  if (!f.empty() && base.find('.') == std::string::npos) f += ".KDF";
  *file = f;
  *table = t;
}

FileManager::FileManager(Driver driver, LayoutPtr layout, std::string name)
    : m_driver(driver), m_layout(layout), m_buffer(layout), m_name(std::move(name)) {
  SetDriver(driver);
}

void FileManager::SetDriver(Driver driver) {
  if (m_backend && driver == m_driver) return;
  if (m_backend) m_backend->Close();
  m_driver = driver;
  switch (driver) {
    case Driver::Keyed:
      m_backend = MakeKeyedBackend(*this);
      break;
    case Driver::Odbc:
      m_backend = MakeOdbcBackend(*this);
      break;
    default:
      m_backend = MakeTextBackend(*this);
      break;
  }
}
FileManager::~FileManager() = default;

std::unique_ptr<FileManager> FileManager::Clone() const {
  auto copy = std::make_unique<FileManager>(m_driver, m_layout, m_name);
  copy->m_owner = m_owner;
  copy->m_keys = m_keys;
  copy->m_create = m_create;
  copy->m_lockRecover = m_lockRecover;
  return copy;
}

void FileManager::SetName(std::string name) {
  if (IsOpen()) Close();
  m_name = std::move(name);
}
std::string FileManager::FilePath() const { return m_backend->FilePath(); }
void FileManager::AddKey(KeyDef key) { m_keys.push_back(std::move(key)); }
int FileManager::FindKey(std::string_view name) const {
  for (size_t i = 0; i < m_keys.size(); ++i)
    if (CompareNoCase(m_keys[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}

int FileManager::SendDriver(std::string_view command) {
  std::string c = Upper(Clip(Left(command)));
  if (c.rfind("RECOVER=", 0) == 0) {
    std::string n = c.substr(8);
    if (!n.empty() && n.find_first_not_of("0123456789") == std::string::npos && n.size() < 6) {
      m_lockRecover = std::stoi(n);
      ClearError();
      return NoError;
    }
  }
  return Unsupported();
}

void FileManager::SetErrorReporter(ErrorReporter reporter) { Reporter() = std::move(reporter); }
int FileManager::Report(int code) {
  if (code != NoError && Reporter()) Reporter()(*this, code, ErrorText());
  return code;
}

namespace {
int NoKey(const std::string& name) {
  SetError(BadNameError, name, "No such key");
  return BadNameError;
}
}  // namespace

int FileManager::Open(unsigned mode) { return Report(TryOpen(mode)); }
int FileManager::TryOpen(unsigned mode) { return m_backend->Open(mode); }
int FileManager::Create() { return m_backend->Create(); }
int FileManager::Close() { return m_backend->Close(); }
bool FileManager::IsOpen() const { return m_backend->IsOpen(); }
int FileManager::BuildKeys() { return m_backend->BuildKeys(); }
int FileManager::Fetch(std::string_view key) { return Report(TryFetch(key)); }
int FileManager::TryFetch(std::string_view key) {
  int k = FindKey(key);
  if (k < 0) return NoKey(m_name);
  return m_backend->Fetch(k, m_buffer);
}
int FileManager::Set() { return m_backend->Set(-1, nullptr); }
int FileManager::Set(std::string_view key) {
  int k = FindKey(key);
  if (k < 0) return NoKey(m_name);
  return m_backend->Set(k, nullptr);
}
int FileManager::SetFrom(std::string_view key) {
  int k = FindKey(key);
  if (k < 0) return NoKey(m_name);
  return m_backend->Set(k, &m_buffer);
}
int FileManager::Reset(std::string_view key, const Position& position) {
  int k = -1;
  if (!key.empty() && (k = FindKey(key)) < 0) return NoKey(m_name);
  return m_backend->Reset(k, position);
}
int FileManager::Next() { return m_backend->Next(m_buffer, &m_bytes); }
int FileManager::Previous() { return m_backend->Previous(m_buffer, &m_bytes); }
Position FileManager::GetPosition() const { return m_backend->GetPosition(); }
int FileManager::Reget(const Position& position) { return m_backend->Reget(position, m_buffer); }
int FileManager::Insert() { return Report(TryInsert()); }
int FileManager::TryInsert() { return m_backend->Insert(m_buffer, static_cast<size_t>(m_layout->RecordSize())); }
int FileManager::Insert(size_t length) { return m_backend->Insert(m_buffer, length); }
int FileManager::Update() { return Report(TryUpdate()); }
int FileManager::TryUpdate() { return m_backend->Update(m_buffer); }
int FileManager::Delete() { return Report(TryDelete()); }
int FileManager::TryDelete() { return m_backend->Delete(); }
int64_t FileManager::Records() { return m_backend->Records(); }
int FileManager::Copy(std::string_view newName) { return m_backend->Copy(std::string(newName)); }
int FileManager::Remove() { return m_backend->Remove(); }
void FileManager::BufferAdds(bool on) {
  m_bufferAdds = on;
  m_backend->BufferAdds(on);
}
void FileManager::SequentialScan(bool on) { m_backend->SequentialScan(on); }
int FileManager::Flush() { return m_backend->Flush(); }
int FileManager::BeginTransaction() { return m_backend->Begin(); }
int FileManager::BeginExclusiveTransaction() { return m_backend->BeginExclusive(); }
int FileManager::Commit() { return m_backend->Commit(); }
int FileManager::Rollback() { return m_backend->Rollback(); }

}  // namespace mvn::framework

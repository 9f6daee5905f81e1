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
  if (n.empty() || n == "KEYED") *driver = Driver::Keyed;
  else if (n == "ODBC") *driver = Driver::Odbc;
  else if (n == "ASCII") *driver = Driver::Ascii;
  else if (n == "DOS") *driver = Driver::Dos;
  else if (n == "BASIC" || n == "CSV") *driver = Driver::Csv;
  else return false;
  return true;
}

const char* DriverName(Driver driver) {
  switch (driver) {
    case Driver::Keyed: return "KEYED";
    case Driver::Csv: return "BASIC";
    case Driver::Dos: return "DOS";
    case Driver::Ascii: return "ASCII";
    case Driver::Odbc: return "ODBC";
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
    : m_driver(driver), m_layout(layout), m_buffer(layout), m_name(std::move(name)) {}
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
std::string FileManager::FilePath() const { return m_name; }
void FileManager::AddKey(KeyDef key) { m_keys.push_back(std::move(key)); }
int FileManager::FindKey(std::string_view name) const {
  for (size_t i = 0; i < m_keys.size(); ++i)
    if (CompareNoCase(m_keys[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}
int FileManager::SendDriver(std::string_view) { return Unsupported(); }
void FileManager::SetErrorReporter(ErrorReporter reporter) { Reporter() = std::move(reporter); }
int FileManager::Report(int code) {
  if (code != NoError && Reporter()) Reporter()(*this, code, ErrorText());
  return code;
}
int FileManager::Open(unsigned mode) { return Report(TryOpen(mode)); }
int FileManager::TryOpen(unsigned) { return Unsupported(); }
int FileManager::Create() { return Unsupported(); }
int FileManager::Close() { return NoError; }
bool FileManager::IsOpen() const { return false; }
int FileManager::BuildKeys() { return Unsupported(); }
int FileManager::Fetch(std::string_view key) { return Report(TryFetch(key)); }
int FileManager::TryFetch(std::string_view) { return Unsupported(); }
int FileManager::Set() { return Unsupported(); }
int FileManager::Set(std::string_view) { return Unsupported(); }
int FileManager::SetFrom(std::string_view) { return Unsupported(); }
int FileManager::Reset(std::string_view, const Position&) { return Unsupported(); }
int FileManager::Next() { return Unsupported(); }
int FileManager::Previous() { return Unsupported(); }
Position FileManager::GetPosition() const { return {}; }
int FileManager::Reget(const Position&) { return Unsupported(); }
int FileManager::Insert() { return Report(TryInsert()); }
int FileManager::TryInsert() { return Unsupported(); }
int FileManager::Insert(size_t) { return Unsupported(); }
int FileManager::Update() { return Report(TryUpdate()); }
int FileManager::TryUpdate() { return Unsupported(); }
int FileManager::Delete() { return Report(TryDelete()); }
int FileManager::TryDelete() { return Unsupported(); }
int64_t FileManager::Records() { return -1; }
int FileManager::Copy(std::string_view) { return Unsupported(); }
int FileManager::Remove() { return Unsupported(); }
void FileManager::BufferAdds(bool on) { m_bufferAdds = on; }
int FileManager::Flush() { return NoError; }
int FileManager::BeginTransaction() { return NoError; }
int FileManager::Commit() { return NoError; }
int FileManager::Rollback() { return NoError; }

}  // namespace mvn::framework

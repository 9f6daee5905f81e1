// The messaging substitute: profiles, message stores, an address book,
// transports and a submit queue kept in files below <root>/mapi, behind the
// calls and interfaces of platform/mapi/mapi.h. Every call is written to a
// journal (shared by all processes on the root), and a failure result can
// be injected at the n-th call of a named method, counted across processes.
// See docs/platform-mapi.md for the files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel/win32.h"
#include "platform/mapi/mapi.h"
#include "platform/profile/profile.h"

#define MAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace mvn::mapi {
namespace {

namespace fs = std::filesystem;

std::atomic<ULONG> g_liveObjects{0};
std::mutex g_bufferLock;
std::set<void*>* g_buffers = nullptr;  // live MAPIAllocateBuffer blocks
std::atomic<int> g_initCount{0};

std::string Root() { return std::string(MvnRootDirectory()) + "/mapi"; }
std::string ConfigFile() { return Root() + "/mapi.ini"; }

// A folder name made from a store or transport name.
std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : name) out += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string ReadSetting(const std::string& section, const std::string& key, const char* def = "") {
  char buffer[1024];
  GetPrivateProfileStringA(section.c_str(), key.c_str(), def, buffer, sizeof buffer, ConfigFile().c_str());
  return buffer;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// A count read from the configuration ("Count=", "Transports="), bounded by
// the keys its section really holds: every counted entry needs a key of its
// own, so a count beyond them can only name missing entries.
int BoundedCount(const std::string& section, const std::string& key) {
  long long wanted = std::atoll(ReadSetting(section, key, "0").c_str());
  if (wanted <= 0) return 0;
  std::error_code error;
  std::uintmax_t size = fs::file_size(ConfigFile(), error);
  if (error || size == 0) return 0;
  // The section's entries cannot be longer than the file.
  std::string entries(static_cast<size_t>(size) + 2, '\0');
  DWORD length = GetPrivateProfileSectionA(section.c_str(), entries.data(), static_cast<DWORD>(entries.size()),
                                           ConfigFile().c_str());
  long long keys = 0;
  for (DWORD i = 0; i < length; ++i)
    if (entries[i] == '\0') ++keys;
  if (length > 0 && entries[length - 1] != '\0') ++keys;
  return static_cast<int>(wanted < keys ? wanted : keys);
}

// The journal is kept below this size: a longer one becomes journal.log.1
// (replacing the one before) and a new one is started.
constexpr off_t kJournalLimit = 4 * 1024 * 1024;

// Reads and writes the per-method call counts (lines "<count> <name>") kept
// beside the journal, so counting never reads the journal itself.
unsigned NextCallNumber(int countsFd, const std::string& name) {
  std::string text;
  char block[4096];
  ssize_t n;
  lseek(countsFd, 0, SEEK_SET);
  while ((n = read(countsFd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(n));
  std::map<std::string, unsigned> counts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    unsigned count = 0;
    std::string method;
    if (words >> count >> method) counts[method] = count;
  }
  unsigned number = ++counts[name];
  std::string out;
  for (const auto& [method, count] : counts) out += std::to_string(count) + " " + method + "\n";
  if (ftruncate(countsFd, 0) == 0) {
    ssize_t ignored = pwrite(countsFd, out.data(), out.size(), 0);
    (void)ignored;
  }
  return number;
}

// The faults file's result for the call, if any. A line that is not
// "<method> <n> <result>" is named (on standard error and in the journal)
// and skipped.
HRESULT InjectedFault(const std::string& name, unsigned number, std::string* malformed) {
  std::ifstream faults(Root() + "/faults");
  std::string fault;
  unsigned lineNumber = 0;
  while (std::getline(faults, fault)) {
    ++lineNumber;
    if (fault.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream words(fault);
    std::string method, n, result, rest;
    bool ok = static_cast<bool>(words >> method >> n >> result) && !(words >> rest);
    char* end = nullptr;
    unsigned long call = 0, value = 0;
    if (ok) {
      errno = 0;
      call = std::strtoul(n.c_str(), &end, 10);
      ok = *end == '\0' && errno == 0 && call <= 0xFFFFFFFFul;
    }
    if (ok) {
      errno = 0;
      value = std::strtoul(result.c_str(), &end, 0);
      ok = *end == '\0' && errno == 0 && value <= 0xFFFFFFFFul && result[0] != '-';
    }
    if (!ok) {
      if (malformed->empty())
        *malformed = Root() + "/faults line " + std::to_string(lineNumber) +
                     " is not \"<method> <n> <result>\": " + fault;
      continue;
    }
    if (method == name && call == number) return static_cast<HRESULT>(value);
  }
  return S_OK;
}

// Appends one line to the journal and gives the result to inject for this
// call: the faults file holds lines "<name> <n> <hresult>", meaning that the
// n-th call of <name> (counted over every process and every journal file)
// fails with that result.
HRESULT Journal(const std::string& name, const std::string& details = "") {
  static bool s_journaled = false;  // the malformed faults line, once per process
  fs::create_directories(Root());
  const std::string path = Root() + "/journal.log";
  int lockFd = open((Root() + "/journal.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd < 0) return S_OK;
  flock(lockFd, LOCK_EX);
  unsigned number = 1;
  int countsFd = open((Root() + "/journal.counts").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (countsFd >= 0) {
    number = NextCallNumber(countsFd, name);
    close(countsFd);
  }
  std::string malformed;
  HRESULT fault = InjectedFault(name, number, &malformed);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  struct stat status{};
  if (fd >= 0 && fstat(fd, &status) == 0 && status.st_size >= kJournalLimit) {
    close(fd);
    rename(path.c_str(), (path + ".1").c_str());
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd >= 0) {
    std::string line = std::to_string(getpid()) + " " + name;
    if (!details.empty()) line += " " + details;
    line += "\n";
    if (!malformed.empty() && !s_journaled) {
      s_journaled = true;
      line += std::to_string(getpid()) + " faults-malformed " + malformed + "\n";
    }
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
  }
  flock(lockFd, LOCK_UN);
  close(lockFd);
  // Named once per process, on standard error and in the journal.
  static std::atomic<bool> s_named{false};
  if (!malformed.empty() && !s_named.exchange(true)) std::fprintf(stderr, "mapi32: %s\n", malformed.c_str());
  return fault;
}

// ---------------------------------------------------------------------------
// Buffers

void* Allocate(size_t size) {
  void* block = calloc(1, size ? size : 1);
  if (!block) return nullptr;
  std::lock_guard<std::mutex> lock(g_bufferLock);
  if (!g_buffers) g_buffers = new std::set<void*>();
  g_buffers->insert(block);
  return block;
}

bool Free(void* block) {
  {
    std::lock_guard<std::mutex> lock(g_bufferLock);
    if (!g_buffers || g_buffers->erase(block) == 0) return false;
  }
  free(block);
  return true;
}

// A property value as the substitute keeps it.
struct Prop {
  ULONG tag = 0;
  LONG number = 0;    // PT_LONG, PT_BOOLEAN, PT_ERROR, PT_I2
  std::string bytes;  // PT_STRING8 (without NUL), PT_BINARY
};

Prop MakeString(ULONG tag, const std::string& text) {
  Prop p;
  p.tag = tag;
  p.bytes = text;
  return p;
}
Prop MakeNumber(ULONG tag, LONG value) {
  Prop p;
  p.tag = tag;
  p.number = value;
  return p;
}
Prop MakeMissing(ULONG tag) { return MakeNumber(CHANGE_PROP_TYPE(tag, PT_ERROR), MAPI_E_NOT_FOUND); }

bool FromValue(const SPropValue& value, Prop* out) {
  out->tag = value.ulPropTag;
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_LONG:
    case PT_ERROR:
      out->number = value.Value.l;
      return true;
    case PT_BOOLEAN:
      out->number = value.Value.b ? 1 : 0;
      return true;
    case PT_I2:
      out->number = value.Value.i;
      return true;
    case PT_STRING8:
      if (!value.Value.lpszA) return false;
      out->bytes = value.Value.lpszA;
      return true;
    case PT_BINARY:
      if (value.Value.bin.cb && !value.Value.bin.lpb) return false;
      out->bytes.assign(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
      return true;
    default:
      return false;
  }
}

// One block: the value array, then the strings and binaries it points to.
SPropValue* Pack(const std::vector<Prop>& props) {
  size_t size = props.size() * sizeof(SPropValue);
  for (const Prop& p : props) size += p.bytes.size() + 1;
  auto* block = static_cast<SPropValue*>(Allocate(size));
  if (!block) return nullptr;
  char* data = reinterpret_cast<char*>(block + props.size());
  for (size_t i = 0; i < props.size(); ++i) {
    const Prop& p = props[i];
    SPropValue& v = block[i];
    v.ulPropTag = p.tag;
    switch (PROP_TYPE(p.tag)) {
      case PT_STRING8:
        memcpy(data, p.bytes.data(), p.bytes.size());
        data[p.bytes.size()] = '\0';
        v.Value.lpszA = data;
        data += p.bytes.size() + 1;
        break;
      case PT_BINARY:
        memcpy(data, p.bytes.data(), p.bytes.size());
        v.Value.bin.cb = static_cast<ULONG>(p.bytes.size());
        v.Value.bin.lpb = reinterpret_cast<BYTE*>(data);
        data += p.bytes.size() + 1;
        break;
      case PT_BOOLEAN:
        v.Value.b = p.number ? 1 : 0;
        break;
      case PT_I2:
        v.Value.i = static_cast<int16_t>(p.number);
        break;
      default:
        v.Value.l = p.number;
        break;
    }
  }
  return block;
}

const Prop* Find(const std::vector<Prop>& props, ULONG tag) {
  for (const Prop& p : props)
    if (p.tag == tag) return &p;
  return nullptr;
}

void Put(std::vector<Prop>* props, const Prop& value) {
  for (Prop& p : *props) {
    if (PROP_ID(p.tag) == PROP_ID(value.tag)) {
      p = value;
      return;
    }
  }
  props->push_back(value);
}

// Serialised form of a property for the message files.
std::string Describe(const Prop& p) {
  std::string line = Hex(p.tag) + "=";
  switch (PROP_TYPE(p.tag)) {
    case PT_STRING8:
      for (char c : p.bytes) {
        if (c == '\\') line += "\\\\";
        else if (c == '\n') line += "\\n";
        else if (c == '\r') line += "\\r";
        else line += c;
      }
      break;
    case PT_BINARY: {
      static const char kDigits[] = "0123456789ABCDEF";
      for (unsigned char c : p.bytes) {
        line += kDigits[c >> 4];
        line += kDigits[c & 15];
      }
      break;
    }
    default:
      line += std::to_string(p.number);
  }
  return line;
}

// ---------------------------------------------------------------------------
// Objects

template <class Interface>
class Object : public Interface {
 public:
  Object() { ++g_liveObjects; }
  virtual ~Object() { --g_liveObjects; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT QueryInterface(const IID&, void** object) override {
    if (object) *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_references; }
  ULONG Release() override {
    ULONG left = --m_references;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> m_references{1};
};

// Properties behind IMAPIProp; GetProps gives PT_ERROR values for what is
// missing.
template <class Interface>
class PropObject : public Object<Interface> {
 public:
  explicit PropObject(std::string name) : m_name(std::move(name)) {}

  HRESULT GetProps(const SPropTagArray* tags, FLAGS flags, ULONG* count, SPropValue** props) override {
    if (HRESULT fault = Journal(m_name + "::GetProps", "flags=" + Hex(flags))) return fault;
    if (!count || !props) return MAPI_E_INVALID_PARAMETER;
    std::vector<Prop> out;
    bool missing = false;
    std::vector<Prop> all = Properties();
    if (tags) {
      for (ULONG i = 0; i < tags->cValues; ++i) {
        const Prop* p = Find(all, tags->aulPropTag[i]);
        if (p) {
          out.push_back(*p);
        } else {
          out.push_back(MakeMissing(tags->aulPropTag[i]));
          missing = true;
        }
      }
    } else {
      out = all;
    }
    *props = Pack(out);
    if (!*props) return MAPI_E_NOT_ENOUGH_MEMORY;
    *count = static_cast<ULONG>(out.size());
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
  }
  HRESULT SetProps(ULONG count, const SPropValue* props, SPropProblemArray** problems) override {
    std::string details;
    for (ULONG i = 0; props && i < count; ++i) details += Hex(props[i].ulPropTag) + " ";
    if (HRESULT fault = Journal(m_name + "::SetProps", details)) return fault;
    if (problems) *problems = nullptr;
    if (!props && count) return MAPI_E_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i) {
      Prop p;
      if (!FromValue(props[i], &p)) return MAPI_E_INVALID_PARAMETER;
      Put(&m_props, p);
    }
    return S_OK;
  }
  HRESULT SaveChanges(FLAGS flags) override {
    if (HRESULT fault = Journal(m_name + "::SaveChanges", "flags=" + Hex(flags))) return fault;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT OpenProperty(ULONG tag, const IID*, ULONG, FLAGS flags, IUnknown** object) override {
    if (HRESULT fault = Journal(m_name + "::OpenProperty", Hex(tag) + " flags=" + Hex(flags))) return fault;
    if (object) *object = nullptr;
    return MAPI_E_NO_SUPPORT;
  }

 protected:
  virtual std::vector<Prop> Properties() { return m_props; }
  std::string m_name;
  std::vector<Prop> m_props;
};

// A table of rows with columns and a restriction.
class Table : public Object<IMAPITable> {
 public:
  explicit Table(std::vector<std::vector<Prop>> rows) : m_rows(std::move(rows)) {}

  HRESULT SetColumns(const SPropTagArray* columns, FLAGS flags) override {
    if (HRESULT fault = Journal("IMAPITable::SetColumns", "flags=" + Hex(flags))) return fault;
    m_columns.clear();
    m_allColumns = columns == nullptr;
    for (ULONG i = 0; columns && i < columns->cValues; ++i) m_columns.push_back(columns->aulPropTag[i]);
    return S_OK;
  }
  HRESULT Restrict(const SRestriction* restriction, FLAGS flags) override {
    if (HRESULT fault = Journal("IMAPITable::Restrict", "flags=" + Hex(flags))) return fault;
    m_restricted = false;
    if (!restriction) return S_OK;
    if (restriction->rt != RES_PROPERTY || restriction->res.resProperty.relop != RELOP_EQ ||
        !restriction->res.resProperty.lpProp)
      return MAPI_E_TOO_COMPLEX;
    if (!FromValue(*restriction->res.resProperty.lpProp, &m_match)) return MAPI_E_INVALID_PARAMETER;
    m_match.tag = restriction->res.resProperty.ulPropTag;
    m_restricted = true;
    return S_OK;
  }
  HRESULT QueryRows(LONG rowCount, FLAGS flags, SRowSet** rows) override {
    if (HRESULT fault = Journal("IMAPITable::QueryRows", "flags=" + Hex(flags))) return fault;
    if (!rows) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::vector<Prop>> selected;
    for (const auto& row : m_rows) {
      if (m_restricted) {
        const Prop* p = Find(row, m_match.tag);
        if (!p || p->number != m_match.number || p->bytes != m_match.bytes) continue;
      }
      selected.push_back(row);
    }
    if (m_position > selected.size()) m_position = selected.size();
    size_t take = selected.size() - m_position;
    if (rowCount >= 0 && static_cast<size_t>(rowCount) < take) take = static_cast<size_t>(rowCount);
    size_t header = offsetof(SRowSet, aRow) + (take ? take : 1) * sizeof(SRow);
    auto* set = static_cast<SRowSet*>(Allocate(header));
    if (!set) return MAPI_E_NOT_ENOUGH_MEMORY;
    set->cRows = 0;
    for (size_t i = 0; i < take; ++i) {
      const auto& row = selected[m_position + i];
      std::vector<Prop> values;
      if (m_allColumns) {
        values = row;
      } else {
        for (ULONG tag : m_columns) {
          const Prop* p = Find(row, tag);
          values.push_back(p ? *p : MakeMissing(tag));
        }
      }
      SRow& out = set->aRow[i];
      out.lpProps = Pack(values);
      out.cValues = static_cast<ULONG>(values.size());
      set->cRows = static_cast<ULONG>(i + 1);
    }
    m_position += take;
    *rows = set;
    return S_OK;
  }

 private:
  std::vector<std::vector<Prop>> m_rows;
  std::vector<ULONG> m_columns;
  bool m_allColumns = true;
  bool m_restricted = false;
  Prop m_match;
  size_t m_position = 0;
};

// The profile a session was opened for.
struct Profile {
  std::string name;
  std::string defaultStore;
  std::string otherStore;
  struct Transport {
    std::string name;
    bool flush;
  };
  std::vector<Transport> transports;
};

bool LoadProfile(const std::string& wanted, Profile* profile, std::string* password) {
  int count = BoundedCount("Profiles", "Count");
  for (int i = 1; i <= count; ++i) {
    std::string name = ReadSetting("Profiles", "Profile" + std::to_string(i));
    if (name.empty() || !EqualsNoCase(name, wanted)) continue;
    std::string section = "Profile " + name;
    profile->name = name;
    profile->defaultStore = ReadSetting(section, "Store");
    profile->otherStore = ReadSetting(section, "OtherStore");
    int transports = BoundedCount(section, "Transports");
    for (int t = 1; t <= transports; ++t) {
      std::string key = "Transport" + std::to_string(t);
      std::string tname = ReadSetting(section, key);
      if (tname.empty()) continue;
      profile->transports.push_back({tname, ReadSetting(section, key + "Flush", "1") == "1"});
    }
    *password = ReadSetting(section, "Password");
    return true;
  }
  return false;
}

std::string StoreEntry(const std::string& store) { return "STORE:" + store; }
std::string OutboxEntry(const std::string& store) {
  std::string override = ReadSetting("Store " + store, "OutboxEntryId");
  return override.empty() ? "FOLDER:" + store + "/Outbox" : override;
}
std::string StatusEntry(const std::string& name) { return "STATUS:" + name; }

std::string QueueDir(const std::string& store) { return Root() + "/stores/" + SafeName(store) + "/queue"; }

std::string NewMessageId() {
  static std::atomic<unsigned> counter{0};
  char id[64];
  snprintf(id, sizeof id, "%lx-%d-%u", static_cast<unsigned long>(time(nullptr)), getpid(), ++counter);
  return id;
}

// ---------------------------------------------------------------------------

class Message;

class Stream : public Object<IStream> {
 public:
  explicit Stream(std::string* target) : m_target(target) {}
  HRESULT Write(const void* data, ULONG size, ULONG* written) override {
    if (written) *written = 0;
    if (HRESULT fault = Journal("IStream::Write", std::to_string(size))) return fault;
    if (!data && size) return MAPI_E_INVALID_PARAMETER;
    m_target->append(static_cast<const char*>(data), size);
    if (written) *written = size;
    return S_OK;
  }

 private:
  std::string* m_target;
};

struct Attachment {
  std::vector<Prop> props;
  std::string data;
};

class Attach : public PropObject<IAttach> {
 public:
  Attach(Message* message, ULONG number);
  ~Attach() override;
  HRESULT OpenProperty(ULONG tag, const IID* iid, ULONG, FLAGS flags, IUnknown** object) override {
    if (HRESULT fault = Journal("IAttach::OpenProperty", Hex(tag) + " flags=" + Hex(flags))) return fault;
    if (!object) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    if (tag != PR_ATTACH_DATA_BIN) return MAPI_E_NO_SUPPORT;
    if (!iid || memcmp(iid, &IID_IStream, sizeof(IID)) != 0) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (!(flags & MAPI_MODIFY)) return MAPI_E_NO_ACCESS;
    if (flags & MAPI_CREATE) m_pending.data.clear();
    *object = new Stream(&m_pending.data);
    return S_OK;
  }
  HRESULT SaveChanges(FLAGS flags) override;

 private:
  Message* m_message;
  ULONG m_number;
  Attachment m_pending;
};

class Message : public PropObject<IMessage> {
 public:
  Message(std::string store, bool writable) : PropObject("IMessage"), m_store(std::move(store)), m_writable(writable) {}

  HRESULT ModifyRecipients(FLAGS flags, const ADRLIST* list) override {
    if (HRESULT fault = Journal("IMessage::ModifyRecipients", "flags=" + Hex(flags))) return fault;
    if (!list) return MAPI_E_INVALID_PARAMETER;
    if (!(flags & MODRECIP_ADD)) return MAPI_E_UNKNOWN_FLAGS;
    for (ULONG i = 0; i < list->cEntries; ++i) {
      const ADRENTRY& entry = list->aEntries[i];
      std::vector<Prop> recipient;
      for (ULONG v = 0; v < entry.cValues; ++v) {
        Prop p;
        if (!FromValue(entry.rgPropVals[v], &p)) return MAPI_E_INVALID_PARAMETER;
        recipient.push_back(p);
      }
      // Only resolved recipients (with an entry id) can be added.
      if (!Find(recipient, PR_ENTRYID) || !Find(recipient, PR_DISPLAY_NAME)) return MAPI_E_INVALID_PARAMETER;
      m_recipients.push_back(recipient);
    }
    return S_OK;
  }
  HRESULT CreateAttach(const IID*, FLAGS flags, ULONG* number, IAttach** attach) override {
    if (HRESULT fault = Journal("IMessage::CreateAttach", "flags=" + Hex(flags))) return fault;
    if (!attach) return MAPI_E_INVALID_PARAMETER;
    ULONG n = m_nextAttach++;
    if (number) *number = n;
    *attach = new Attach(this, n);
    return S_OK;
  }
  HRESULT SubmitMessage(FLAGS flags) override {
    if (HRESULT fault = Journal("IMessage::SubmitMessage", "flags=" + Hex(flags))) return fault;
    if (m_submitted) return MAPI_E_SUBMITTED;
    if (!m_writable) return MAPI_E_NO_ACCESS;
    if (m_recipients.empty()) return MAPI_E_NO_RECIPIENTS;
    // Written whole into a hidden folder, then renamed into the queue.
    std::string queue = QueueDir(m_store);
    std::error_code error;
    fs::create_directories(queue, error);
    std::string id = NewMessageId();
    std::string partial = queue + "/." + id;
    if (!fs::create_directory(partial, error)) return MAPI_E_DISK_ERROR;
    bool ok = true;
    {
      std::ofstream out(partial + "/message.props", std::ios::binary);
      for (const Prop& p : m_props) out << Describe(p) << "\n";
      ok = ok && out.good();
    }
    {
      std::ofstream out(partial + "/recipients.props", std::ios::binary);
      for (size_t r = 0; r < m_recipients.size(); ++r) {
        out << "[recipient " << r + 1 << "]\n";
        for (const Prop& p : m_recipients[r]) out << Describe(p) << "\n";
      }
      ok = ok && out.good();
    }
    for (size_t a = 0; a < m_attachments.size(); ++a) {
      std::string base = partial + "/attach-" + std::to_string(a + 1);
      std::ofstream props(base + ".props", std::ios::binary);
      for (const Prop& p : m_attachments[a].props) props << Describe(p) << "\n";
      std::ofstream data(base + ".bin", std::ios::binary);
      data.write(m_attachments[a].data.data(), static_cast<std::streamsize>(m_attachments[a].data.size()));
      data.close();
      props.close();
      ok = ok && data.good() && props.good();
    }
    if (!ok) {
      fs::remove_all(partial, error);
      return MAPI_E_DISK_ERROR;
    }
    fs::rename(partial, queue + "/" + id, error);
    if (error) {
      fs::remove_all(partial, error);
      return MAPI_E_DISK_ERROR;
    }
    m_submitted = true;
    return S_OK;
  }

  void Commit(ULONG number, const Attachment& attachment) {
    if (m_attachments.size() <= number) m_attachments.resize(number + 1);
    m_attachments[number] = attachment;
  }

 private:
  std::string m_store;
  bool m_writable;
  bool m_submitted = false;
  ULONG m_nextAttach = 0;
  std::vector<std::vector<Prop>> m_recipients;
  std::vector<Attachment> m_attachments;
};

Attach::Attach(Message* message, ULONG number) : PropObject("IAttach"), m_message(message), m_number(number) {
  m_message->AddRef();
}
Attach::~Attach() { m_message->Release(); }

HRESULT Attach::SaveChanges(FLAGS flags) {
  if (HRESULT fault = Journal("IAttach::SaveChanges", "flags=" + Hex(flags))) return fault;
  m_pending.props = m_props;
  m_message->Commit(m_number, m_pending);
  return S_OK;
}

class Folder : public PropObject<IMAPIFolder> {
 public:
  Folder(std::string store, bool modify, bool writable)
      : PropObject("IMAPIFolder"), m_store(std::move(store)), m_modify(modify), m_writable(writable) {
    m_props.push_back(MakeString(PR_DISPLAY_NAME, "Outbox"));
    m_props.push_back(MakeNumber(PR_OBJECT_TYPE, MAPI_FOLDER));
  }
  HRESULT CreateMessage(const IID*, FLAGS flags, IMessage** message) override {
    if (HRESULT fault = Journal("IMAPIFolder::CreateMessage", "flags=" + Hex(flags))) return fault;
    if (!message) return MAPI_E_INVALID_PARAMETER;
    *message = nullptr;
    if (!m_modify) return MAPI_E_NO_ACCESS;
    *message = new Message(m_store, m_writable);
    return S_OK;
  }

 private:
  std::string m_store;
  bool m_modify;
  bool m_writable;
};

class Store : public PropObject<IMsgStore> {
 public:
  Store(std::string name, bool writable) : PropObject("IMsgStore"), m_store(std::move(name)), m_writable(writable) {}

  HRESULT OpenEntry(ULONG entrySize, const void* entryId, const IID*, FLAGS flags, ULONG* objectType,
                    IUnknown** object) override {
    std::string entry = entryId ? std::string(static_cast<const char*>(entryId), entrySize) : std::string();
    if (HRESULT fault = Journal("IMsgStore::OpenEntry", entry + " flags=" + Hex(flags))) return fault;
    if (!object || !objectType) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    if (entry == "FOLDER:" + m_store + "/Outbox") {
      *objectType = MAPI_FOLDER;
      *object = static_cast<IMAPIFolder*>(new Folder(m_store, (flags & MAPI_MODIFY) != 0, m_writable));
      return S_OK;
    }
    if (entry.rfind("MESSAGE:", 0) == 0) {
      *objectType = MAPI_MESSAGE;
      *object = static_cast<IMessage*>(new Message(m_store, false));
      return S_OK;
    }
    return entry.empty() ? MAPI_E_INVALID_ENTRYID : MAPI_E_NOT_FOUND;
  }

 protected:
  std::vector<Prop> Properties() override {
    std::vector<Prop> props = m_props;
    props.push_back(MakeString(PR_DISPLAY_NAME, m_store));
    if (ReadSetting("Store " + m_store, "Outbox", "1") != "0")
      props.push_back(MakeString(PR_IPM_OUTBOX_ENTRYID, OutboxEntry(m_store)));
    return props;
  }

 private:
  std::string m_store;
  bool m_writable;
};

class Status : public PropObject<IMAPIStatus> {
 public:
  Status(std::string transport, std::vector<std::string> stores)
      : PropObject("IMAPIStatus"), m_transport(std::move(transport)), m_stores(std::move(stores)) {}

  // Moves every queued message of the profile's stores to the transport's
  // delivered folder.
  HRESULT FlushQueues(ULONG_PTR, ULONG targetSize, const void*, FLAGS flags) override {
    if (HRESULT fault = Journal("IMAPIStatus::FlushQueues",
                                m_transport + " target=" + std::to_string(targetSize) + " flags=" + Hex(flags)))
      return fault;
    std::string delivered = Root() + "/transports/" + SafeName(m_transport) + "/delivered";
    std::error_code error;
    fs::create_directories(delivered, error);
    for (const std::string& store : m_stores) {
      std::string queue = QueueDir(store);
      if (!fs::is_directory(queue, error)) continue;
      for (const auto& entry : fs::directory_iterator(queue, error)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        fs::rename(entry.path(), delivered + "/" + name, error);
        if (error) return MAPI_E_DISK_ERROR;
      }
    }
    return S_OK;
  }

 private:
  std::string m_transport;
  std::vector<std::string> m_stores;
};

struct BookEntry {
  std::string name;
  std::string address;
};

std::vector<BookEntry> LoadAddressBook() {
  std::vector<BookEntry> entries;
  int count = BoundedCount("AddressBook", "Count");
  for (int i = 1; i <= count; ++i) {
    std::string key = "Entry" + std::to_string(i);
    std::string name = ReadSetting("AddressBook", key);
    if (!name.empty()) entries.push_back({name, ReadSetting("AddressBook", key + "Address")});
  }
  return entries;
}

std::vector<Prop> ResolvedProps(const BookEntry& entry, LONG recipientType) {
  return {MakeString(PR_DISPLAY_NAME, entry.name), MakeNumber(PR_RECIPIENT_TYPE, recipientType),
          MakeString(PR_ADDRTYPE, "SMTP"), MakeString(PR_EMAIL_ADDRESS, entry.address),
          MakeString(PR_ENTRYID, "AB:" + entry.name)};
}

class AddrBook : public PropObject<IAddrBook> {
 public:
  AddrBook() : PropObject("IAddrBook") {}

  // A unique exact name (without case) first; else a unique entry that
  // begins with the name; several of either: ambiguous; none: not found.
  HRESULT ResolveName(ULONG_PTR, FLAGS flags, const char* title, ADRLIST* list) override {
    if (HRESULT fault = Journal("IAddrBook::ResolveName",
                                "flags=" + Hex(flags) + " title=" + (title ? title : "(null)")))
      return fault;
    if (!list) return MAPI_E_INVALID_PARAMETER;
    std::vector<BookEntry> book = LoadAddressBook();
    for (ULONG i = 0; i < list->cEntries; ++i) {
      ADRENTRY& entry = list->aEntries[i];
      std::string name;
      LONG type = MAPI_TO;
      for (ULONG v = 0; v < entry.cValues; ++v) {
        if (entry.rgPropVals[v].ulPropTag == PR_DISPLAY_NAME && entry.rgPropVals[v].Value.lpszA)
          name = entry.rgPropVals[v].Value.lpszA;
        if (entry.rgPropVals[v].ulPropTag == PR_RECIPIENT_TYPE) type = entry.rgPropVals[v].Value.l;
      }
      const BookEntry* match = nullptr;
      for (const BookEntry& b : book) {
        if (!EqualsNoCase(b.name, name)) continue;
        // Two entries of one name: the fax must not go to either by chance.
        if (match) return MAPI_E_AMBIGUOUS_RECIP;
        match = &b;
      }
      if (!match) {
        int found = 0;
        for (const BookEntry& b : book) {
          if (b.name.size() >= name.size() && EqualsNoCase(b.name.substr(0, name.size()), name) && !name.empty()) {
            match = &b;
            ++found;
          }
        }
        if (found > 1) return MAPI_E_AMBIGUOUS_RECIP;
      }
      if (!match) return MAPI_E_NOT_FOUND;
      std::vector<Prop> props = ResolvedProps(*match, type);
      SPropValue* array = Pack(props);
      if (!array) return MAPI_E_NOT_ENOUGH_MEMORY;
      if (entry.rgPropVals && !Free(entry.rgPropVals)) Journal("MAPIFreeBuffer", "invalid block in ResolveName");
      entry.rgPropVals = array;
      entry.cValues = static_cast<ULONG>(props.size());
    }
    return S_OK;
  }

  // The choice of a user: the file address-choice below the store holds the
  // name to pick (a script for machines without a person at the screen);
  // without it, or with "cancel", the dialog is cancelled.
  HRESULT Address(ULONG_PTR*, const ADRPARM* parameters, ADRLIST** list) override {
    std::string details = parameters ? "flags=" + Hex(parameters->ulFlags) + " caption=" +
                                           (parameters->lpszCaption ? parameters->lpszCaption : "(null)") +
                                           " destfields=" + std::to_string(parameters->cDestFields)
                                     : "(null)";
    if (HRESULT fault = Journal("IAddrBook::Address", details)) return fault;
    if (!list || !parameters) return MAPI_E_INVALID_PARAMETER;
    *list = nullptr;
    std::ifstream in(Root() + "/address-choice");
    std::string choice;
    std::getline(in, choice);
    if (choice.empty() || choice == "cancel") return MAPI_E_USER_CANCEL;
    for (const BookEntry& b : LoadAddressBook()) {
      if (!EqualsNoCase(b.name, choice)) continue;
      auto* out = static_cast<ADRLIST*>(Allocate(sizeof(ADRLIST)));
      if (!out) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::vector<Prop> props = ResolvedProps(b, MAPI_TO);
      out->cEntries = 1;
      out->aEntries[0].rgPropVals = Pack(props);
      out->aEntries[0].cValues = static_cast<ULONG>(props.size());
      *list = out;
      return S_OK;
    }
    return MAPI_E_NOT_FOUND;
  }
};

class Session : public Object<IMAPISession> {
 public:
  explicit Session(Profile profile) : m_profile(std::move(profile)) {}

  HRESULT GetMsgStoresTable(FLAGS flags, IMAPITable** table) override {
    if (HRESULT fault = Journal("IMAPISession::GetMsgStoresTable", "flags=" + Hex(flags))) return fault;
    if (!table) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::vector<Prop>> rows;
    if (!m_profile.otherStore.empty())
      rows.push_back({MakeNumber(PR_DEFAULT_STORE, 0), MakeString(PR_DISPLAY_NAME, m_profile.otherStore),
                      MakeString(PR_ENTRYID, StoreEntry(m_profile.otherStore))});
    if (!m_profile.defaultStore.empty())
      rows.push_back({MakeNumber(PR_DEFAULT_STORE, 1), MakeString(PR_DISPLAY_NAME, m_profile.defaultStore),
                      MakeString(PR_ENTRYID, StoreEntry(m_profile.defaultStore))});
    *table = new Table(rows);
    return S_OK;
  }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG entrySize, const void* entryId, const IID*, FLAGS flags,
                       IMsgStore** store) override {
    std::string entry = entryId ? std::string(static_cast<const char*>(entryId), entrySize) : std::string();
    if (HRESULT fault = Journal("IMAPISession::OpenMsgStore", entry + " flags=" + Hex(flags))) return fault;
    if (!store) return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    for (const std::string& name : {m_profile.defaultStore, m_profile.otherStore}) {
      if (!name.empty() && entry == StoreEntry(name)) {
        *store = new Store(name, (flags & MDB_WRITE) != 0);
        return S_OK;
      }
    }
    return MAPI_E_INVALID_ENTRYID;
  }
  HRESULT OpenAddressBook(ULONG_PTR, const IID*, FLAGS flags, IAddrBook** book) override {
    if (HRESULT fault = Journal("IMAPISession::OpenAddressBook", "flags=" + Hex(flags))) return fault;
    if (!book) return MAPI_E_INVALID_PARAMETER;
    *book = new AddrBook();
    return S_OK;
  }
  HRESULT GetStatusTable(FLAGS flags, IMAPITable** table) override {
    if (HRESULT fault = Journal("IMAPISession::GetStatusTable", "flags=" + Hex(flags))) return fault;
    if (!table) return MAPI_E_INVALID_PARAMETER;
    // The spooler's own row (not a transport) comes first.
    std::vector<std::vector<Prop>> rows;
    rows.push_back({MakeNumber(PR_RESOURCE_TYPE, MAPI_SPOOLER), MakeNumber(PR_RESOURCE_METHODS, STATUS_FLUSH_QUEUES),
                    MakeString(PR_PROVIDER_DISPLAY, "MAPI Spooler"), MakeString(PR_ENTRYID, "SPOOLER")});
    for (const auto& t : m_profile.transports)
      rows.push_back({MakeNumber(PR_RESOURCE_TYPE, MAPI_TRANSPORT_PROVIDER),
                      MakeNumber(PR_RESOURCE_METHODS, t.flush ? (STATUS_FLUSH_QUEUES | 1) : 1),
                      MakeString(PR_PROVIDER_DISPLAY, t.name), MakeString(PR_ENTRYID, StatusEntry(t.name))});
    *table = new Table(rows);
    return S_OK;
  }
  HRESULT OpenEntry(ULONG entrySize, const void* entryId, const IID*, FLAGS flags, ULONG* objectType,
                    IUnknown** object) override {
    std::string entry = entryId ? std::string(static_cast<const char*>(entryId), entrySize) : std::string();
    if (HRESULT fault = Journal("IMAPISession::OpenEntry", entry + " flags=" + Hex(flags))) return fault;
    if (!object || !objectType) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    for (const auto& t : m_profile.transports) {
      if (entry == StatusEntry(t.name)) {
        *objectType = MAPI_STATUS;
        *object = static_cast<IMAPIStatus*>(new Status(t.name, {m_profile.defaultStore, m_profile.otherStore}));
        return S_OK;
      }
    }
    return entry.empty() ? MAPI_E_INVALID_ENTRYID : MAPI_E_NOT_FOUND;
  }
  HRESULT Logoff(ULONG_PTR, FLAGS flags, ULONG reserved) override {
    return Journal("IMAPISession::Logoff", "flags=" + Hex(flags) + " reserved=" + std::to_string(reserved));
  }

 private:
  Profile m_profile;
};

class ProfAdmin : public Object<IProfAdmin> {
 public:
  HRESULT GetProfileTable(FLAGS flags, IMAPITable** table) override {
    if (HRESULT fault = Journal("IProfAdmin::GetProfileTable", "flags=" + Hex(flags))) return fault;
    if (!table) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::vector<Prop>> rows;
    std::string def = ReadSetting("Profiles", "Default");
    int count = BoundedCount("Profiles", "Count");
    for (int i = 1; i <= count; ++i) {
      std::string name = ReadSetting("Profiles", "Profile" + std::to_string(i));
      if (name.empty()) continue;
      rows.push_back({MakeString(PR_DISPLAY_NAME, name), MakeNumber(PR_DEFAULT_PROFILE, EqualsNoCase(name, def))});
    }
    *table = new Table(rows);
    return S_OK;
  }
};

}  // namespace
}  // namespace mvn::mapi

using namespace mvn::mapi;

MAPI_EXPORT HRESULT MAPIInitialize(void* init) {
  if (HRESULT fault = Journal("MAPIInitialize", init ? "init" : "null")) return fault;
  ++g_initCount;
  return S_OK;
}

MAPI_EXPORT void MAPIUninitialize() {
  int left = --g_initCount;
  if (left < 0) g_initCount = 0;
  size_t buffers;
  {
    std::lock_guard<std::mutex> lock(g_bufferLock);
    buffers = g_buffers ? g_buffers->size() : 0;
  }
  Journal("MAPIUninitialize", "live-objects=" + std::to_string(g_liveObjects.load()) + " live-buffers=" +
                                  std::to_string(buffers) +
                                  " initialised=" + std::to_string(left < 0 ? 0 : left));
}

MAPI_EXPORT HRESULT MAPILogonEx(ULONG_PTR, const char* profile, const char* password, FLAGS flags,
                                IMAPISession** session) {
  if (HRESULT fault = Journal("MAPILogonEx", std::string(profile ? profile : "(null)") + " flags=" + Hex(flags)))
    return fault;
  if (!session) return MAPI_E_INVALID_PARAMETER;
  *session = nullptr;
  if (g_initCount <= 0) return MAPI_E_NOT_INITIALIZED;
  std::string wanted = profile ? profile : "";
  if (wanted.empty() || !(flags & MAPI_EXPLICIT_PROFILE)) wanted = ReadSetting("Profiles", "Default");
  Profile found;
  std::string expected;
  if (!LoadProfile(wanted, &found, &expected)) return MAPI_E_LOGON_FAILED;
  if (!expected.empty() && expected != (password ? password : "")) return MAPI_E_LOGON_FAILED;
  *session = new Session(found);
  return S_OK;
}

MAPI_EXPORT SCODE MAPIAllocateBuffer(ULONG size, void** buffer) {
  if (HRESULT fault = Journal("MAPIAllocateBuffer", std::to_string(size))) return fault;
  if (!buffer) return MAPI_E_INVALID_PARAMETER;
  *buffer = Allocate(size);
  return *buffer ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

// A block this library did not give out, or gave out and took back
// already, is refused and journaled instead of corrupting the heap.
MAPI_EXPORT ULONG MAPIFreeBuffer(void* buffer) {
  if (!buffer) return 0;
  if (!Free(buffer)) {
    Journal("MAPIFreeBuffer", "invalid");
    return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  }
  return 0;
}

MAPI_EXPORT HRESULT MAPIAdminProfiles(FLAGS flags, IProfAdmin** admin) {
  if (HRESULT fault = Journal("MAPIAdminProfiles", "flags=" + Hex(flags))) return fault;
  if (!admin) return MAPI_E_INVALID_PARAMETER;
  *admin = nullptr;
  if (g_initCount <= 0) return MAPI_E_NOT_INITIALIZED;
  *admin = new ProfAdmin();
  return S_OK;
}

MAPI_EXPORT HRESULT HrQueryAllRows(IMAPITable* table, const SPropTagArray* columns, const SRestriction* restriction,
                                   const SSortOrderSet* sort, LONG maxRows, SRowSet** rows) {
  if (HRESULT fault = Journal("HrQueryAllRows", "max=" + std::to_string(maxRows))) return fault;
  if (!table || !rows) return MAPI_E_INVALID_PARAMETER;
  *rows = nullptr;
  if (sort) return MAPI_E_TOO_COMPLEX;
  HRESULT result = S_OK;
  if (columns && Failed(result = table->SetColumns(columns, 0))) return result;
  if (restriction && Failed(result = table->Restrict(restriction, 0))) return result;
  SRowSet* set = nullptr;
  if (Failed(result = table->QueryRows(0x7FFFFFFF, 0, &set))) return result;
  if (maxRows > 0 && set->cRows > static_cast<ULONG>(maxRows)) {
    for (ULONG i = 0; i < set->cRows; ++i) Free(set->aRow[i].lpProps);
    Free(set);
    return MAPI_E_TABLE_TOO_BIG;
  }
  *rows = set;
  return S_OK;
}

MAPI_EXPORT void FreeProws(SRowSet* rows) {
  if (!rows) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}

MAPI_EXPORT ULONG MvnMapiLiveObjects() { return g_liveObjects.load(); }

MAPI_EXPORT ULONG MvnMapiLiveBuffers() {
  std::lock_guard<std::mutex> lock(g_bufferLock);
  return g_buffers ? static_cast<ULONG>(g_buffers->size()) : 0;
}

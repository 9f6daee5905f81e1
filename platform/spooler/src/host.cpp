// The spooler host: monitors, ports, jobs and the services the monitors
// call back.
#include "platform/spooler/host.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <vector>
#include <mutex>

#include "platform/kernel/utf.h"
#include "platform/module/module.h"
#include "platform/spooler/outputfolder.h"
#include "platform/spooler/src/monitormodule.h"

namespace mvn::spooler {

namespace {

constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;

// A job the host is running, as GetJobW describes it.
struct JobState {
  std::u16string printer;
  std::u16string machine;
  std::u16string user;
  std::u16string document;
  std::string userName;  // for the spool file's owner
  SYSTEMTIME submitted{};
  bool done = false;
  std::string failure;  // why a service the monitor asked for refused, for the job's result
  bool failed = false;  // the job's data did not reach the monitor whole (JOB_STATUS_ERROR)
  // The spool file made with CreateSpoolFile: the folder it was checked
  // and made in (an O_PATH descriptor, closed with the job), its name
  // there, the path the monitor was given, and the user whose rights it
  // was made with (uid -1: the host's own).
  int folder = -1;
  std::string fileName, filePath;
  uid_t madeAs = static_cast<uid_t>(-1);
  gid_t madeAsGroup = static_cast<gid_t>(-1);
};

struct PrinterHandle {
  std::u16string printer;
};

// The state the services see: the jobs running now and the printer handles
// the monitors hold. Jobs on different ports run at once.
struct Registry {
  std::mutex lock;
  std::map<DWORD, JobState> jobs;
  std::map<PrinterHandle*, std::unique_ptr<PrinterHandle>> printers;
  std::atomic<DWORD> nextJobId{1};
};

Registry& Jobs() {
  static Registry* s_registry = new Registry;  // lives until the process ends
  return *s_registry;
}

PrinterHandle* FindPrinter(Registry& registry, HANDLE handle) {
  auto it = registry.printers.find(static_cast<PrinterHandle*>(handle));
  return it == registry.printers.end() ? nullptr : it->second.get();
}

BOOL ServeOpenPrinter(LPCWSTR printerName, HANDLE* printer, DWORD* error) {
  Registry& registry = Jobs();
  std::lock_guard<std::mutex> hold(registry.lock);
  std::u16string name = printerName ? printerName : u"";
  bool known = false;
  for (const auto& [id, job] : registry.jobs) known = known || job.printer == name;
  if (!known) {
    *error = ERROR_INVALID_PRINTER_NAME;
    return FALSE;
  }
  auto handle = std::make_unique<PrinterHandle>();
  handle->printer = name;
  PrinterHandle* raw = handle.get();
  registry.printers.emplace(raw, std::move(handle));
  *printer = raw;
  return TRUE;
}

// Level 1: the structure, then its strings packed behind it.
BOOL ServeGetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE out, DWORD size, LPDWORD needed,
                 DWORD* error) {
  Registry& registry = Jobs();
  std::lock_guard<std::mutex> hold(registry.lock);
  *needed = 0;
  if (!FindPrinter(registry, printer)) {
    *error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (level != 1) {
    *error = ERROR_INVALID_LEVEL;
    return FALSE;
  }
  auto it = registry.jobs.find(jobId);
  if (it == registry.jobs.end()) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const JobState& job = it->second;
  static const std::u16string kDatatype = u"RAW";
  const std::u16string* texts[] = {&job.printer, &job.machine, &job.user, &job.document, &kDatatype};
  DWORD total = sizeof(JOB_INFO_1W);
  for (const std::u16string* text : texts) total += static_cast<DWORD>((text->size() + 1) * sizeof(char16_t));
  *needed = total;
  if (!out || size < total) {
    *error = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  JOB_INFO_1W info{};
  char16_t* strings = reinterpret_cast<char16_t*>(out + sizeof(JOB_INFO_1W));
  LPWSTR* fields[] = {&info.pPrinterName, &info.pMachineName, &info.pUserName, &info.pDocument, &info.pDatatype};
  for (int i = 0; i < 5; ++i) {
    *fields[i] = strings;
    std::memcpy(strings, texts[i]->c_str(), (texts[i]->size() + 1) * sizeof(char16_t));
    strings += texts[i]->size() + 1;
  }
  info.JobId = jobId;
  info.pStatus = nullptr;
  info.Status = job.failed ? JOB_STATUS_ERROR : 0;
  info.Priority = 1;
  info.Position = 1;
  info.Submitted = job.submitted;
  std::memcpy(out, &info, sizeof info);
  return TRUE;
}

BOOL ServeSetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE, DWORD command, DWORD* error) {
  Registry& registry = Jobs();
  std::lock_guard<std::mutex> hold(registry.lock);
  if (!FindPrinter(registry, printer)) {
    *error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto it = registry.jobs.find(jobId);
  if (it == registry.jobs.end()) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (level != 0 || command < JOB_CONTROL_PAUSE || command > JOB_CONTROL_DELETE) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  // A monitor cancels a job it has finished with: the spooler takes that
  // as "printed" and drops the job.
  if (command == JOB_CONTROL_CANCEL || command == JOB_CONTROL_DELETE) it->second.done = true;
  return TRUE;
}

BOOL ServeClosePrinter(HANDLE printer, DWORD* error) {
  Registry& registry = Jobs();
  std::lock_guard<std::mutex> hold(registry.lock);
  if (registry.printers.erase(static_cast<PrinterHandle*>(printer)) == 0) {
    *error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

BOOL ServeSetSpoolFileOwner(HANDLE printer, DWORD jobId, int file, DWORD receiver, LPSTR fileName, DWORD size,
                            DWORD* error) {
  {
    Registry& registry = Jobs();
    std::lock_guard<std::mutex> hold(registry.lock);
    if (!FindPrinter(registry, printer) || registry.jobs.find(jobId) == registry.jobs.end() || !fileName ||
        file < 0) {
      *error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
  }
  const uid_t self = geteuid();
  if (receiver == self) return TRUE;  // the file is the service's and stays where it is
  if (self != 0) {
    *error = ERROR_ACCESS_DENIED;  // only root can give a file to another user
    return FALSE;
  }
  gid_t group = static_cast<gid_t>(receiver);  // a user without an account: the group of the same number
  {
    char buffer[4096];
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(receiver, &entry, buffer, sizeof buffer, &found) == 0 && found) group = found->pw_gid;
  }
  std::string path(fileName, strnlen(fileName, size));
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = path.substr(slash + 1);
  const std::string folder = std::to_string(receiver);

  // The spool folder must be the service's own: nobody else can then have
  // put a name into it.
  Descriptor dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat dirStat, held, named;
  if (dir.fd < 0 || fstat(dir.fd, &dirStat) != 0 || dirStat.st_uid != self || (dirStat.st_mode & 022) != 0 ||
      fstat(file, &held) != 0 || !S_ISREG(held.st_mode) ||
      fstatat(dir.fd, base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(held, named)) {
    *error = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  // The receiver's folder: made here, then given to the receiver.
  if (mkdirat(dir.fd, folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Win32ErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  Descriptor sub(openat(dir.fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat subStat;
  if (sub.fd < 0 || fstat(sub.fd, &subStat) != 0) {
    *error = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (subStat.st_uid == self) {
    if (fchown(sub.fd, receiver, group) != 0 || fchmod(sub.fd, 0700) != 0) {
      *error = Win32ErrorFromErrno(errno, nullptr);
      return FALSE;
    }
  } else if (subStat.st_uid != receiver) {
    *error = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (fchown(file, receiver, group) != 0 || fchmod(file, 0600) != 0) {
    *error = Win32ErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  // Moved in under its own name, or a variant of it when the receiver has
  // a file of that name already; never over an existing entry.
  std::string stem = base.size() > 4 && base.compare(base.size() - 4, 4, ".TMP") == 0 ? base.substr(0, base.size() - 4)
                                                                                       : base;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string target = attempt == 0 ? base : stem + "-" + std::to_string(attempt) + ".TMP";
    std::string moved = directory + "/" + folder + "/" + target;
    if (moved.size() + 1 > size) {
      *error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    if (renameat2(dir.fd, base.c_str(), sub.fd, target.c_str(), RENAME_NOREPLACE) == 0) {
      std::memcpy(fileName, moved.c_str(), moved.size() + 1);
      return TRUE;
    }
    if (errno != EEXIST) {
      *error = Win32ErrorFromErrno(errno, nullptr);
      break;
    }
  }
  if (*error == 0) *error = ERROR_FILE_EXISTS;
  // Not moved: the file stays the service's.
  if (fchown(file, self, getegid()) != 0 || fchmod(file, 0640) != 0) {
  }
  return FALSE;
}

// The uid and primary group of a job's user (a name, or a number without
// an account); false when there is no such user.
bool JobUserIds(const std::string& name, uid_t* uid, gid_t* gid) {
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
    *uid = found->pw_uid;
    *gid = found->pw_gid;
    return true;
  }
  if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name.size() > 9) return false;
  *uid = static_cast<uid_t>(std::stoul(name));
  *gid = static_cast<gid_t>(*uid);
  if (getpwuid_r(*uid, &entry, buffer, sizeof buffer, &found) == 0 && found) *gid = found->pw_gid;
  return true;
}

void NoteJobFailure(DWORD jobId, const std::string& text) {
  Registry& registry = Jobs();
  std::lock_guard<std::mutex> hold(registry.lock);
  auto it = registry.jobs.find(jobId);
  if (it != registry.jobs.end()) it->second.failure = text;
}

// Runs make with this thread's file-system identity switched to uid and gid
// (only this thread's: setfsuid is per thread), so what it creates is made
// with that user's rights and belongs to that user.
int AsUser(uid_t uid, gid_t gid, const std::function<int()>& make) {
  uid_t oldUid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  gid_t oldGid = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  setfsgid(gid);
  setfsuid(uid);
  int result = make();
  int saved = errno;
  setfsuid(oldUid);
  setfsgid(oldGid);
  errno = saved;
  return result;
}

BOOL ServeCreateSpoolFile(HANDLE printer, DWORD jobId, LPCSTR directory, LPSTR fileName, DWORD size, int* file,
                          DWORD* error) {
  std::string userName;
  {
    Registry& registry = Jobs();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto it = registry.jobs.find(jobId);
    if (!FindPrinter(registry, printer) || it == registry.jobs.end() || !directory || !fileName || !file) {
      *error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    userName = it->second.userName;
  }
  *file = -1;
  const std::string folder = directory;
  const uid_t self = geteuid();
  OutputFolder checked = OpenOutputFolder(folder, self);
  Descriptor dir(checked.fd);
  if (dir.fd < 0) {
    const int reason = checked.error;
    *error = reason == ELOOP ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(reason, nullptr);
    NoteJobFailure(jobId, reason == ELOOP ? "the output folder " + folder +
                                                " is not used: a link on its path belongs to a user"
                                          : "the output folder " + folder + " cannot be opened: " +
                                                std::strerror(reason));
    return FALSE;
  }
  uid_t uid = 0;
  gid_t gid = 0;
  // Only the job's own user's folder takes the job besides root's and the
  // service's, written with that user's rights; anybody else's could be
  // swapped or read by them.
  const bool known = JobUserIds(userName, &uid, &gid);
  if (known ? !FolderTakesJobOf(checked, uid) : checked.verdict != FolderVerdict::Everyone) {
    *error = ERROR_ACCESS_DENIED;
    NoteJobFailure(jobId, "the output folder " + folder + " belongs to neither root nor the job's user " + userName +
                              ": the job is not written there");
    return FALSE;
  }
  const bool asUser = checked.verdict == FolderVerdict::OwnerOnly;
  const std::string separator = folder.empty() || folder.back() == '/' ? "" : "/";
  unsigned start = static_cast<unsigned>(getpid()) * 2654435761u ^ jobId ^ static_cast<unsigned>(time(nullptr));
  for (unsigned attempt = 0; attempt < 0xFFFF; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "MVN%X.TMP", (start + attempt) % 0xFFFF + 1);
    std::string path = folder + separator + name;
    if (path.size() + 1 > size) {
      *error = ERROR_FILENAME_EXCED_RANGE;
      return FALSE;
    }
    auto make = [&] {
      return openat(dir.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    };
    int fd = asUser ? AsUser(uid, gid, make) : make();
    if (fd >= 0) {
      std::memcpy(fileName, path.c_str(), path.size() + 1);
      *file = fd;
      // Kept for the removal of the file, which then works in this folder.
      Registry& registry = Jobs();
      std::lock_guard<std::mutex> hold(registry.lock);
      auto it = registry.jobs.find(jobId);
      if (it != registry.jobs.end()) {
        JobState& job = it->second;
        if (job.folder >= 0) close(job.folder);
        job.folder = dir.fd;
        dir.fd = -1;
        job.fileName = name;
        job.filePath = path;
        job.madeAs = asUser ? uid : static_cast<uid_t>(-1);
        job.madeAsGroup = asUser ? gid : static_cast<gid_t>(-1);
      }
      return TRUE;
    }
    if (errno != EEXIST) {
      *error = Win32ErrorFromErrno(errno, nullptr);
      NoteJobFailure(jobId, "cannot make a spool file in the output folder " + folder + ": " + std::strerror(errno));
      return FALSE;
    }
  }
  *error = ERROR_FILE_EXISTS;
  NoteJobFailure(jobId, "the output folder " + folder + " has no free spool file name");
  return FALSE;
}

BOOL ServeDeleteSpoolFile(HANDLE printer, DWORD jobId, int file, LPCSTR fileName, DWORD* error) {
  if (!fileName || file < 0) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const std::string path = fileName;
  int folder = -1;  // borrowed from the job, or owned by `opened`
  std::string base;
  uid_t madeAs = static_cast<uid_t>(-1);
  gid_t madeAsGroup = static_cast<gid_t>(-1);
  Descriptor opened(-1);
  {
    Registry& registry = Jobs();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto it = registry.jobs.find(jobId);
    if (!FindPrinter(registry, printer) || it == registry.jobs.end()) {
      *error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    const JobState& job = it->second;
    if (job.folder >= 0 && job.filePath == path) {
      opened.fd = fcntl(job.folder, F_DUPFD_CLOEXEC, 0);
      folder = opened.fd;
      base = job.fileName;
      madeAs = job.madeAs;
      madeAsGroup = job.madeAsGroup;
    }
  }
  if (folder < 0 && base.empty()) {
    // A file the monitor made itself (in the service's spool folder, or
    // handed over into a user's folder there): its folder as reached now,
    // without a user's link, and in a user's folder with that user's rights.
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) {
      *error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    OutputFolder checked = OpenOutputFolder(slash == 0 ? "/" : path.substr(0, slash), geteuid());
    opened.fd = checked.fd;
    if (opened.fd < 0) {
      *error = checked.error == ELOOP ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(checked.error, nullptr);
      return FALSE;
    }
    folder = opened.fd;
    base = path.substr(slash + 1);
    if (checked.verdict == FolderVerdict::OwnerOnly) {
      madeAs = checked.owner;
      madeAsGroup = static_cast<gid_t>(checked.owner);
      char buffer[4096];
      struct passwd entry;
      struct passwd* found = nullptr;
      if (getpwuid_r(checked.owner, &entry, buffer, sizeof buffer, &found) == 0 && found) madeAsGroup = found->pw_gid;
    }
  }
  if (folder < 0) {
    *error = Win32ErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  // Only the file the job holds: whatever else now has that name (a link
  // to another file, another file moved there) stays.
  struct stat held, named;
  if (fstat(file, &held) != 0 || fstatat(folder, base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(named.st_mode) || !SameFile(held, named)) {
    *error = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  auto remove = [&] { return unlinkat(folder, base.c_str(), 0); };
  int removed = madeAs != static_cast<uid_t>(-1) ? AsUser(madeAs, madeAsGroup, remove) : remove();
  if (removed != 0) {
    *error = Win32ErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  return TRUE;
}

void ServeSetLastError(DWORD code) { SetLastError(code); }

}  // namespace

}  // namespace mvn::spooler

// The table mvn_winspool looks up in the program.
extern "C" __attribute__((visibility("default"))) const MVN_SPOOLER_SERVICES mvn_spooler_services = {
    sizeof(MVN_SPOOLER_SERVICES), &mvn::spooler::ServeOpenPrinter,  &mvn::spooler::ServeGetJob,
    &mvn::spooler::ServeSetJob,        &mvn::spooler::ServeClosePrinter, &mvn::spooler::ServeSetSpoolFileOwner,
    &mvn::spooler::ServeSetLastError, &mvn::spooler::ServeCreateSpoolFile, &mvn::spooler::ServeDeleteSpoolFile,
};

namespace mvn::spooler {

std::string MonitorRegistryRoot(const std::string& monitorName) {
  return std::string(kMonitorsKey) + "\\" + monitorName;
}

std::u16string Widen(std::string_view utf8) { return mvn::kernel::Utf8ToUtf16(utf8); }
std::string Narrow(std::u16string_view wide) { return mvn::kernel::Utf16ToUtf8(wide); }

Monitor::~Monitor() {
  if (m_module) FreeLibrary(m_module);
}

bool LoadMonitorModule(const std::string& file, HMODULE* module, const std::function<std::string()>& check,
                       std::string* error) {
  *module = LoadLibraryA(file.c_str());
  std::string reason = *module ? check() : "cannot load " + file;
  if (reason.empty()) return true;
  if (error) *error = reason;
  *module = nullptr;
  return false;
}

std::unique_ptr<Monitor> Monitor::Load(const std::string& file, const std::string& monitorName,
                                       std::string* error) {
  std::unique_ptr<Monitor> monitor(new Monitor);
  monitor->m_name = monitorName;
  auto check = [&]() -> std::string {
    auto initialize =
        reinterpret_cast<PFN_InitializePrintMonitor>(GetProcAddress(monitor->m_module, INITIALIZE_PRINT_MONITOR));
    if (!initialize) return file + " has no " + INITIALIZE_PRINT_MONITOR;
    std::u16string root = Widen(MonitorRegistryRoot(monitorName));
    LPMONITOREX table = initialize(root.data());
    if (!table) return std::string(INITIALIZE_PRINT_MONITOR) + " of " + file + " returned no table";
    if (table->dwMonitorSize != sizeof(MONITOR)) return "the monitor table of " + file + " has a wrong size";
    const MONITOR& entries = table->Monitor;
    if (!entries.pfnEnumPorts || !entries.pfnOpenPort || !entries.pfnStartDocPort || !entries.pfnWritePort ||
        !entries.pfnEndDocPort || !entries.pfnClosePort) {
      return "the monitor table of " + file + " lacks a port entry";
    }
    monitor->m_table = table;
    monitor->m_initialize = initialize;
    return "";
  };
  if (!LoadMonitorModule(file, &monitor->m_module, check, error)) return nullptr;
  return monitor;
}

bool Monitor::Reinitialize() {
  std::u16string root = Widen(MonitorRegistryRoot(m_name));
  return m_initialize(root.data()) == m_table;
}

bool Monitor::EnumPorts(DWORD level, std::vector<PortEntry>* ports, std::string* error) {
  ports->clear();
  DWORD needed = 0;
  DWORD count = 0;
  if (m_table->Monitor.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count)) return true;
  if (level != 1 && level != 2) {
    if (error) *error = "EnumPorts failed";
    return false;
  }
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!m_table->Monitor.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &count)) {
    if (error) *error = "EnumPorts failed with a buffer of the size it asked for";
    return false;
  }
  auto text = [](LPWSTR p) { return p ? Narrow(p) : std::string(); };
  for (DWORD i = 0; i < count; ++i) {
    PortEntry entry;
    if (level == 1) {
      const auto* info = reinterpret_cast<const PORT_INFO_1W*>(buffer.data()) + i;
      entry.name = text(info->pName);
    } else {
      const auto* info = reinterpret_cast<const PORT_INFO_2W*>(buffer.data()) + i;
      entry.name = text(info->pPortName);
      entry.monitor = text(info->pMonitorName);
      entry.description = text(info->pDescription);
      entry.type = info->fPortType;
    }
    ports->push_back(std::move(entry));
  }
  return true;
}

HANDLE Monitor::OpenPort(const std::string& port) {
  std::u16string name = Widen(port);
  HANDLE handle = nullptr;
  if (!m_table->Monitor.pfnOpenPort(name.data(), &handle)) return nullptr;
  return handle;
}

bool Monitor::ClosePort(HANDLE port) { return m_table->Monitor.pfnClosePort(port) != FALSE; }

bool Monitor::AddPort(const std::string& monitorName, HWND owner) {
  if (!m_table->Monitor.pfnAddPort) return false;
  std::u16string name = Widen(monitorName);
  return m_table->Monitor.pfnAddPort(nullptr, owner, name.data()) != FALSE;
}

bool Monitor::ConfigurePort(const std::string& port, HWND owner) {
  if (!m_table->Monitor.pfnConfigurePort) return false;
  std::u16string name = Widen(port);
  return m_table->Monitor.pfnConfigurePort(nullptr, owner, name.data()) != FALSE;
}

bool Monitor::DeletePort(const std::string& port, HWND owner) {
  if (!m_table->Monitor.pfnDeletePort) return false;
  std::u16string name = Widen(port);
  return m_table->Monitor.pfnDeletePort(nullptr, owner, name.data()) != FALSE;
}

void WriteJobData(const BlockSource& source, DWORD chunkSize, const PortWriter& write, JobResult* result) {
  if (chunkSize == 0) chunkSize = 1;
  while (result->failure.empty()) {
    const BYTE* block = nullptr;
    long got = source(&block, chunkSize);
    if (got < 0 || (got > 0 && !block)) {
      result->failure = "the job's data could not be read";
      break;
    }
    if (got == 0) break;
    result->bytesRead += static_cast<ULONGLONG>(got);
    DWORD offset = 0;
    DWORD length = static_cast<DWORD>(got);
    while (offset < length) {
      DWORD written = 0;
      ++result->writeCalls;
      // The monitor's entry takes a writable pointer; it does not write
      // through it.
      if (!write(const_cast<BYTE*>(block) + offset, length - offset, &written)) {
        result->failure = "WritePort failed";
        break;
      }
      if (written == 0) {
        result->failure = "WritePort wrote nothing";
        break;
      }
      if (written > length - offset) written = length - offset;  // never count more than was given
      offset += written;
      result->bytesWritten += written;
    }
  }
}

JobResult Monitor::RunJob(HANDLE port, const JobSpec& spec, const DataSource& source, DWORD chunkSize) {
  if (chunkSize == 0) chunkSize = 1;
  auto buffer = std::make_shared<std::vector<BYTE>>(chunkSize);
  BlockSource blocks = [&source, buffer](const BYTE** block, DWORD maximum) -> long {
    *block = buffer->data();
    return source(buffer->data(), maximum < buffer->size() ? maximum : static_cast<DWORD>(buffer->size()));
  };
  return RunJobBlocks(port, spec, blocks, chunkSize);
}

JobResult Monitor::RunJobBlocks(HANDLE port, const JobSpec& spec, const BlockSource& source, DWORD chunkSize) {
  JobResult result;
  Registry& registry = Jobs();
  result.jobId = registry.nextJobId.fetch_add(1);
  {
    JobState job;
    job.printer = Widen(spec.printer);
    job.machine = Widen(spec.machine);
    job.user = Widen(spec.user);
    job.document = Widen(spec.document);
    job.userName = spec.user;
    GetSystemTime(&job.submitted);
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.jobs.emplace(result.jobId, std::move(job));
  }

  std::u16string printer = Widen(spec.printer);
  std::u16string document = Widen(spec.document);
  std::u16string datatype = u"RAW";
  DOC_INFO_1W info{document.data(), nullptr, datatype.data()};
  const MONITOR& entries = m_table->Monitor;
  if (chunkSize == 0) chunkSize = 1;
  result.started = entries.pfnStartDocPort(port, printer.data(), result.jobId, 1,
                                           reinterpret_cast<LPBYTE>(&info)) != FALSE;
  if (!result.started) {
    std::lock_guard<std::mutex> hold(registry.lock);
    const std::string& why = registry.jobs[result.jobId].failure;
    result.failure = why.empty() ? "StartDocPort failed" : "StartDocPort failed: " + why;
  } else {
    WriteJobData(source, chunkSize,
                 [&](BYTE* data, DWORD length, DWORD* written) {
                   return entries.pfnWritePort(port, data, length, written);
                 },
                 &result);
    if (!result.failure.empty()) {
      // The monitor sees it (GetJob) and discards the part it has.
      std::lock_guard<std::mutex> hold(registry.lock);
      registry.jobs[result.jobId].failed = true;
    }
    result.ended = entries.pfnEndDocPort(port) != FALSE;
    if (!result.ended && result.failure.empty()) result.failure = "EndDocPort failed";
  }

  std::lock_guard<std::mutex> hold(registry.lock);
  result.done = registry.jobs[result.jobId].done;
  if (registry.jobs[result.jobId].folder >= 0) close(registry.jobs[result.jobId].folder);
  registry.jobs.erase(result.jobId);
  return result;
}

DataSource MemorySource(const std::string& data) {
  auto offset = std::make_shared<std::size_t>(0);
  return [&data, offset](void* buffer, DWORD size) -> long {
    std::size_t left = data.size() - *offset;
    std::size_t take = left < size ? left : size;
    std::memcpy(buffer, data.data() + *offset, take);
    *offset += take;
    return static_cast<long>(take);
  };
}

DataSource DescriptorSource(int fd) {
  return [fd](void* buffer, DWORD size) -> long {
    for (;;) {
      ssize_t got = read(fd, buffer, size);
      if (got >= 0) return static_cast<long>(got);
      if (errno != EINTR) return -1;
    }
  };
}

}  // namespace mvn::spooler

namespace mvn::spooler {

BlockSource FileBlocks(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    off_t start = lseek(fd, 0, SEEK_CUR);
    if (start >= 0 && start < st.st_size) {
      std::size_t length = static_cast<std::size_t>(st.st_size - start);
      void* map = mmap(nullptr, length + static_cast<std::size_t>(start), PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        madvise(map, length + static_cast<std::size_t>(start), MADV_SEQUENTIAL);
        // The mapping goes when the last copy of the source does.
        std::shared_ptr<void> mapping(map, [length, start](void* p) {
          munmap(p, length + static_cast<std::size_t>(start));
        });
        auto offset = std::make_shared<std::size_t>(static_cast<std::size_t>(start));
        std::size_t end = length + static_cast<std::size_t>(start);
        return [mapping, offset, end](const BYTE** block, DWORD maximum) -> long {
          std::size_t left = end - *offset;
          std::size_t take = left < maximum ? left : maximum;
          *block = static_cast<const BYTE*>(mapping.get()) + *offset;
          *offset += take;
          return static_cast<long>(take);
        };
      }
    }
  }
  auto buffer = std::make_shared<std::vector<BYTE>>();
  DataSource reader = DescriptorSource(fd);
  return [buffer, reader](const BYTE** block, DWORD maximum) -> long {
    if (buffer->size() < maximum) buffer->resize(maximum);
    *block = buffer->data();
    return reader(buffer->data(), maximum);
  };
}

}  // namespace mvn::spooler

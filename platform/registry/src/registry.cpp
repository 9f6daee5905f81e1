// The registry calls: handles, the predefined keys, where hives live, access
// rights, and the A and W views of names and data over the hives.
#include "platform/registry/registry.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/utf.h"
#include "platform/registry/src/hive.h"

namespace mvn::registry {
namespace {

using mvn::kernel::Utf16ToUtf8;
using mvn::kernel::Utf8ToUtf16;

constexpr ULONG_PTR kClassesRoot = 0x80000000u;
constexpr ULONG_PTR kCurrentUser = 0x80000001u;
constexpr ULONG_PTR kLocalMachine = 0x80000002u;
constexpr ULONG_PTR kUsers = 0x80000003u;

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;

// What a handle stands for.
struct KeyRef {
  enum class Kind { Hive, Users };  // a key of a hive, or HKEY_USERS itself
  Kind kind = Kind::Hive;
  std::string path;  // the hive's file
  bool machine = false;
  bool copy = false;  // the machine hive's published copy (read-only)
  KeyId id = kRootKey;
  REGSAM access = KEY_ALL_ACCESS;
  // A handle belongs to the hive file it was opened in; when that file is
  // replaced, its key ids mean nothing in the new one.
  bool pinned = false;
  std::string hiveId;
};

// Process-wide state of this copy of the layer. It must outlive every C++
// static destructor, since handles may be used and closed from them, so it
// is not a static object: a late destructor of this copy frees it, with the
// hives it opened, once everything else of the program or module has ended
// (at exit, or when the module holding this copy is unloaded).
struct State {
  std::mutex mutex;
  pid_t pid = 0;
  std::map<std::string, Hive*> hives;
  std::map<ULONG_PTR, KeyRef> handles;
  ULONG_PTR next = 0x1000;
  // The process's user name, looked up once per user id.
  std::string user;
  uid_t userUid = static_cast<uid_t>(-1);
};

// Plain static storage (constant-initialised, trivially destroyed), so it
// is valid before any constructor and after every destructor of this copy.
std::atomic<State*> g_state{nullptr};
std::mutex g_stateCreation;

State& GetState() {
  if (State* state = g_state.load(std::memory_order_acquire)) return *state;
  std::lock_guard<std::mutex> hold(g_stateCreation);
  State* state = g_state.load(std::memory_order_relaxed);
  if (!state) {
    state = new State;
    state->pid = getpid();
    // A fork while another thread is inside a call must not leave the lock
    // held in the child. Registered once per copy; the C library drops the
    // handlers of a module when it is unloaded.
    static const bool registered = [] {
      pthread_atfork([] { GetState().mutex.lock(); }, [] { GetState().mutex.unlock(); },
                     [] { GetState().mutex.unlock(); });
      return true;
    }();
    (void)registered;
    g_state.store(state, std::memory_order_release);
  }
  return *state;
}

// Priority 101 runs after every destructor of default priority of this copy
// and after its C++ static destructors and exit functions.
__attribute__((destructor(101))) void ReleaseRegistryState() {
  State* state = g_state.load(std::memory_order_acquire);
  if (!state) return;
  // A child after fork that never used the registry still holds its
  // parent's connections: closing them could checkpoint or remove the
  // parent's WAL. They stay as they are until the process is gone.
  if (state->pid != getpid()) return;
  g_state.store(nullptr, std::memory_order_release);
  for (auto& entry : state->hives) delete entry.second;
  delete state;
}

bool SafeUserName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The user the process runs as (state locked); looked up once per user id.
std::string CurrentUser() {
  State& state = GetState();
  if (state.user.empty() || state.userUid != geteuid()) {
    char name[256] = {};
    DWORD size = sizeof name;
    std::string user;
    if (GetUserNameA(name, &size)) user.assign(name, strnlen(name, sizeof name));
    if (!SafeUserName(user)) user = std::to_string(geteuid());
    state.user = user;
    state.userUid = geteuid();
  }
  return state.user;
}

// Makes a directory with exactly mode when it is missing.
LONG EnsureDirectory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) {
    chmod(path.c_str(), mode);
    return ERROR_SUCCESS;
  }
  if (errno != EEXIST) {
    int err = errno;
    MvnReportRootDirectoryFailure(path.c_str(), err);
    return err == EACCES || err == EPERM || err == EROFS ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err, path.c_str());
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

// The directory of all user hives is writable by everybody, like /tmp, so
// each user can make their own private directory in it. It is made with the
// registry directory, which other users may not be able to write.
constexpr mode_t kUsersMode = 01777;

LONG RegistryDirectory(std::string* directory) {
  const char* root = MvnRootDirectory();
  if (!root || !*root) return ERROR_PATH_NOT_FOUND;
  *directory = std::string(root) + "/registry";
  if (LONG error = EnsureDirectory(*directory, 0755)) return error;
  EnsureDirectory(*directory + "/users", kUsersMode);
  return ERROR_SUCCESS;
}

constexpr char kMachineHive[] = "/HKLM.db";
constexpr char kMachineCopy[] = "/HKLM.copy.db";

// The machine hive is root's alone (0600), so that no other user can take a
// lock on it or its journal files that root would wait on. Its writer
// publishes a copy after each change; a process that is not the hive's
// owner reads that copy, immutable and without locks. Root always uses the
// hive itself, and so does a user whose own machine root it is.
LONG MachineHivePath(KeyRef* ref) {
  std::string directory;
  if (LONG error = RegistryDirectory(&directory)) return error;
  ref->machine = true;
  ref->path = directory + kMachineHive;
  ref->copy = false;
  const uid_t me = geteuid();
  if (me == 0) return ERROR_SUCCESS;
  struct stat st;
  if (lstat(ref->path.c_str(), &st) == 0 ? st.st_uid == me
                                          : stat(directory.c_str(), &st) == 0 && st.st_uid == me) {
    return ERROR_SUCCESS;
  }
  ref->path = directory + kMachineCopy;
  ref->copy = true;
  return ERROR_SUCCESS;
}

LONG UsersDirectory(std::string* directory) {
  std::string registry;
  if (LONG error = RegistryDirectory(&registry)) return error;
  *directory = registry + "/users";
  return EnsureDirectory(*directory, kUsersMode);
}

LONG CurrentUserHivePath(std::string* path) {
  std::string users;
  if (LONG error = UsersDirectory(&users)) return error;
  const std::string directory = users + "/" + CurrentUser();
  if (LONG error = EnsureDirectory(directory, 0700)) return error;
  *path = directory + "/HKCU.db";
  return ERROR_SUCCESS;
}

// Names of the users that have a hive, sorted like subkeys.
std::vector<std::string> UsersWithHives() {
  std::vector<std::string> users;
  std::string directory;
  if (UsersDirectory(&directory) != ERROR_SUCCESS) return users;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (!SafeUserName(name)) continue;
      struct stat st;
      if (stat((directory + "/" + name + "/HKCU.db").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        users.push_back(name);
      }
    }
    closedir(dir);
  }
  std::sort(users.begin(), users.end(),
            [](const std::string& a, const std::string& b) { return FoldName(a) < FoldName(b); });
  return users;
}

// The hive of the user called name below HKEY_USERS: the process's own user
// (made when missing) or another user that has one.
LONG UserHivePath(const std::string& name, std::string* path) {
  if (FoldName(name) == FoldName(CurrentUser())) return CurrentUserHivePath(path);
  for (const std::string& user : UsersWithHives()) {
    if (FoldName(user) == FoldName(name)) {
      std::string directory;
      if (LONG error = UsersDirectory(&directory)) return error;
      *path = directory + "/" + user + "/HKCU.db";
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

// The open hive of a reference (state locked).
LONG GetHive(State& state, const KeyRef& ref, Hive** hive) {
  if (state.pid != getpid()) {
    // A child after fork: the parent's connections are not ours to use.
    for (auto& entry : state.hives) {
      entry.second->Abandon();
      delete entry.second;
    }
    state.hives.clear();
    state.pid = getpid();
  }
  auto found = state.hives.find(ref.path);
  if (found != state.hives.end()) {
    if (found->second->IsFile(ref.path)) {
      *hive = found->second;
      return ERROR_SUCCESS;
    }
    // The file was deleted or replaced: writing on through this connection
    // would go to a file nobody sees any more.
    delete found->second;
    state.hives.erase(found);
  }
  Hive* opened = nullptr;
  if (ref.copy) {
    if (LONG error = Hive::OpenCopy(ref.path, &opened)) return error;
  } else {
    if (LONG error = Hive::Open(ref.path, 0600, ref.machine, &opened)) return error;
    if (ref.machine && !opened->ReadOnly()) {
      const std::string copy = ref.path.substr(0, ref.path.size() - strlen(kMachineHive)) + kMachineCopy;
      if (LONG error = opened->PublishTo(copy)) {
        delete opened;
        return error;
      }
    }
  }
  state.hives.emplace(ref.path, opened);
  *hive = opened;
  return ERROR_SUCCESS;
}

// The hive of a reference that may be a handle (state locked).
LONG HiveOf(State& state, const KeyRef& ref, Hive** hive) {
  if (LONG error = GetHive(state, ref, hive)) return error;
  if (ref.pinned && (*hive)->Id() != ref.hiveId) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

// What a key handle stands for (state locked).
LONG Resolve(State& state, HKEY key, KeyRef* ref) {
  const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(key);
  *ref = KeyRef();
  switch (value) {
    case kLocalMachine:
      return MachineHivePath(ref);
    case kCurrentUser:
      return CurrentUserHivePath(&ref->path);
    case kUsers:
      ref->kind = KeyRef::Kind::Users;
      return ERROR_SUCCESS;
    case kClassesRoot: {
      if (LONG error = MachineHivePath(ref)) return error;
      Hive* hive;
      if (LONG error = GetHive(state, *ref, &hive)) return error;
      // Made on first use; looked up without a write lock once it exists.
      const std::vector<std::string> classes = {"SOFTWARE", "Classes"};
      bool created;
      LONG error = hive->Walk(kRootKey, classes, false, &ref->id, &created);
      if (error == ERROR_FILE_NOT_FOUND && !hive->ReadOnly()) {
        error = hive->Walk(kRootKey, classes, true, &ref->id, &created);
      }
      return error;
    }
    default:
      break;
  }
  auto found = state.handles.find(value);
  if (found == state.handles.end()) return ERROR_INVALID_HANDLE;
  *ref = found->second;
  return ERROR_SUCCESS;
}

bool IsPredefined(HKEY key) {
  const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(key);
  return value >= kClassesRoot && value <= kUsers;
}

HKEY NewHandle(State& state, const KeyRef& ref) {
  ULONG_PTR value = state.next;
  state.next += 4;
  if (state.next >= kClassesRoot && state.next <= kUsers + 4) state.next = kUsers + 8;
  state.handles.emplace(value, ref);
  return reinterpret_cast<HKEY>(value);
}

LONG SplitPath(const char* subKey, std::vector<std::string>* path) {
  path->clear();
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  std::string_view rest(subKey);
  if (rest.front() == '\\') return ERROR_BAD_PATHNAME;
  if (rest.back() == '\\') rest.remove_suffix(1);
  for (;;) {
    const size_t separator = rest.find('\\');
    const std::string_view name = rest.substr(0, separator);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    path->emplace_back(name);
    if (separator == std::string_view::npos) break;
    rest.remove_prefix(separator + 1);
  }
  return ERROR_SUCCESS;
}

REGSAM NormalizeAccess(REGSAM access) {
  REGSAM rights = access & (KEY_ALL_ACCESS | REG_MAXIMUM_ALLOWED);
  if (access & kGenericRead) rights |= KEY_READ;
  if (access & kGenericWrite) rights |= KEY_WRITE;
  if (access & kGenericExecute) rights |= KEY_EXECUTE;
  if (access & kGenericAll) rights |= KEY_ALL_ACCESS;
  return rights;
}

LONG Need(const KeyRef& ref, REGSAM right) { return (ref.access & right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED; }

// ---------------------------------------------------------------------------
// Operations on UTF-8 names and stored data.

// Below the users branch the first name is a user: the rest of the path is
// inside that user's hive, from its root.
LONG EnterUserHive(std::vector<std::string>* path, KeyRef* ref) {
  KeyRef user;
  if (LONG error = UserHivePath(path->front(), &user.path)) return error;
  path->erase(path->begin());
  *ref = user;
  return ERROR_SUCCESS;
}

LONG OpenKey(HKEY key, const char* subKey, REGSAM access, bool create, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::string> path;
  if (LONG error = SplitPath(subKey, &path)) return error;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  KeyRef base;
  if (LONG error = Resolve(state, key, &base)) return error;
  REGSAM wanted = NormalizeAccess(access);

  if (base.kind == KeyRef::Kind::Users) {
    if (path.empty()) {
      KeyRef users = base;
      users.access = (wanted & REG_MAXIMUM_ALLOWED) ? KEY_READ : wanted & ~kWriteRights;
      *result = NewHandle(state, users);
      if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
      return ERROR_SUCCESS;
    }
    if (LONG error = EnterUserHive(&path, &base)) return error;
  }

  Hive* hive;
  if (LONG error = HiveOf(state, base, &hive)) return error;
  if (wanted & REG_MAXIMUM_ALLOWED) wanted = hive->ReadOnly() ? KEY_READ : KEY_ALL_ACCESS;
  if ((wanted & kWriteRights) && hive->ReadOnly()) return ERROR_ACCESS_DENIED;

  const bool mayCreate = create && (base.access & KEY_CREATE_SUB_KEY);
  KeyId id = 0;
  bool created = false;
  LONG error = hive->Walk(base.id, path, mayCreate, &id, &created);
  if (error == ERROR_FILE_NOT_FOUND && create) error = ERROR_ACCESS_DENIED;
  if (error) return error;
  KeyRef opened = base;
  opened.id = id;
  opened.access = wanted;
  opened.pinned = true;
  opened.hiveId = hive->Id();
  *result = NewHandle(state, opened);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Runs a value or subkey operation on the key behind a handle: under the
// state lock, once the handle is checked for right. The users branch has no
// hive of its own, so onUsers answers for it.
template <class OnUsers, class OnHive>
LONG WithKey(HKEY key, REGSAM right, OnUsers onUsers, OnHive onHive) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  KeyRef ref;
  if (LONG error = Resolve(state, key, &ref)) return error;
  if (LONG error = Need(ref, right)) return error;
  if (ref.kind == KeyRef::Kind::Users) return onUsers();
  Hive* hive;
  if (LONG error = HiveOf(state, ref, &hive)) return error;
  return onHive(*hive, ref.id);
}

LONG EnumKey(HKEY key, DWORD index, std::string* name) {
  return WithKey(
      key, KEY_ENUMERATE_SUB_KEYS,
      [&]() -> LONG {
        std::vector<std::string> users = UsersWithHives();
        if (index >= users.size()) return ERROR_NO_MORE_ITEMS;
        *name = users[index];
        return ERROR_SUCCESS;
      },
      [&](Hive& hive, KeyId id) { return hive.EnumKey(id, index, name); });
}

LONG EnumValue(HKEY key, DWORD index, StoredValue* value) {
  return WithKey(
      key, KEY_QUERY_VALUE, [] { return LONG(ERROR_NO_MORE_ITEMS); },
      [&](Hive& hive, KeyId id) { return hive.EnumValue(id, index, value); });
}

LONG QueryValue(HKEY key, const char* name, StoredValue* value) {
  return WithKey(
      key, KEY_QUERY_VALUE, [] { return LONG(ERROR_FILE_NOT_FOUND); },
      [&](Hive& hive, KeyId id) { return hive.QueryValue(id, name ? name : "", value); });
}

LONG SetValue(HKEY key, const char* name, DWORD type, const std::string& data) {
  return WithKey(
      key, KEY_SET_VALUE, [] { return LONG(ERROR_ACCESS_DENIED); },
      [&](Hive& hive, KeyId id) { return hive.SetValue(id, name ? name : "", type, data); });
}

LONG DeleteValue(HKEY key, const char* name) {
  return WithKey(
      key, KEY_SET_VALUE, [] { return LONG(ERROR_ACCESS_DENIED); },
      [&](Hive& hive, KeyId id) { return hive.DeleteValue(id, name ? name : ""); });
}

LONG DeleteKey(HKEY key, const char* subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> path;
  if (LONG error = SplitPath(subKey, &path)) return error;
  if (path.empty() && IsPredefined(key)) return ERROR_ACCESS_DENIED;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  KeyRef ref;
  if (LONG error = Resolve(state, key, &ref)) return error;
  if (ref.kind == KeyRef::Kind::Users) {
    // A user's hive itself cannot be deleted, only keys inside it.
    if (path.size() < 2) return ERROR_ACCESS_DENIED;
    if (LONG error = EnterUserHive(&path, &ref)) return error;
  }
  Hive* hive;
  if (LONG error = HiveOf(state, ref, &hive)) return error;
  return hive->DeleteKey(ref.id, path);
}

LONG ListKey(HKEY key, std::vector<std::string>* subKeys, std::vector<StoredValue>* values) {
  return WithKey(
      key, KEY_QUERY_VALUE,
      [&]() -> LONG {
        *subKeys = UsersWithHives();
        return ERROR_SUCCESS;
      },
      [&](Hive& hive, KeyId id) { return hive.List(id, subKeys, values); });
}

// ---------------------------------------------------------------------------
// Stored forms and the A and W views.

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The strings of a multi-string: each ends at a NUL, the list at an empty
// string or the end of the data.
template <class Char>
std::vector<std::basic_string_view<Char>> SplitMulti(std::basic_string_view<Char> data) {
  std::vector<std::basic_string_view<Char>> strings;
  size_t i = 0;
  while (i < data.size()) {
    size_t end = data.find(Char(0), i);
    if (end == std::basic_string_view<Char>::npos) end = data.size();
    if (end == i) break;
    strings.push_back(data.substr(i, end - i));
    i = end + 1;
  }
  return strings;
}

std::string JoinMulti(const std::vector<std::string>& strings) {
  std::string joined;
  for (const std::string& s : strings) {
    joined.append(s);
    joined.push_back('\0');
  }
  joined.push_back('\0');
  return joined;
}

std::string StoreFromA(DWORD type, const BYTE* data, DWORD size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), data ? size : 0);
  if (IsText(type)) return std::string(bytes.substr(0, bytes.find('\0')));
  if (type == REG_MULTI_SZ) {
    std::vector<std::string> strings;
    for (std::string_view s : SplitMulti(bytes)) strings.emplace_back(s);
    return JoinMulti(strings);
  }
  return std::string(bytes);
}

std::u16string Units(const BYTE* data, DWORD size) {
  std::u16string units(data ? size / 2 : 0, u'\0');
  if (!units.empty()) memcpy(units.data(), data, units.size() * 2);
  return units;
}

std::string StoreFromW(DWORD type, const BYTE* data, DWORD size) {
  if (IsText(type)) {
    const std::u16string units = Units(data, size);
    const std::u16string_view text(units);
    return Utf16ToUtf8(text.substr(0, text.find(u'\0')));
  }
  if (type == REG_MULTI_SZ) {
    const std::u16string units = Units(data, size);
    std::vector<std::string> strings;
    for (std::u16string_view s : SplitMulti(std::u16string_view(units))) strings.push_back(Utf16ToUtf8(s));
    return JoinMulti(strings);
  }
  return std::string(reinterpret_cast<const char*>(data), data ? size : 0);
}

std::string ViewA(const StoredValue& value) {
  if (IsText(value.type)) return value.data + '\0';
  return value.data;
}

std::string Bytes(const std::u16string& units) {
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::string ViewW(const StoredValue& value) {
  if (IsText(value.type)) return Bytes(Utf8ToUtf16(value.data) + u'\0');
  if (value.type == REG_MULTI_SZ) {
    std::u16string units;
    for (std::string_view s : SplitMulti(std::string_view(value.data))) {
      units += Utf8ToUtf16(s);
      units.push_back(u'\0');
    }
    units.push_back(u'\0');
    return Bytes(units);
  }
  return value.data;
}

LONG CopyData(const std::string& view, DWORD type, LPDWORD typeOut, LPBYTE data, LPDWORD dataSize) {
  if (typeOut) *typeOut = type;
  if (!dataSize) return ERROR_SUCCESS;
  if (data) {
    if (*dataSize < view.size()) {
      *dataSize = static_cast<DWORD>(view.size());
      return ERROR_MORE_DATA;
    }
    memcpy(data, view.data(), view.size());
  }
  *dataSize = static_cast<DWORD>(view.size());
  return ERROR_SUCCESS;
}

template <class Char>
LONG CopyName(const std::basic_string<Char>& name, Char* buffer, LPDWORD size) {
  if (!buffer || !size) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *size) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = Char(0);
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// A W name as UTF-8; nullptr stays nullptr.
struct Narrow {
  explicit Narrow(LPCWSTR text) : valid(text != nullptr) {
    if (text) value = Utf16ToUtf8(std::u16string_view(text));
  }
  const char* get() const { return valid ? value.c_str() : nullptr; }
  bool valid;
  std::string value;
};

void ClearClass(LPDWORD classSize, char* keyClass) {
  if (keyClass && classSize && *classSize > 0) keyClass[0] = '\0';
  if (classSize) *classSize = 0;
}

void ClearClass(LPDWORD classSize, char16_t* keyClass) {
  if (keyClass && classSize && *classSize > 0) keyClass[0] = u'\0';
  if (classSize) *classSize = 0;
}

}  // namespace
}  // namespace mvn::registry

using namespace mvn::registry;

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  return OpenKey(key, subKey, access, true, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  return OpenKey(key, Narrow(subKey).get(), access, true, result, disposition);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  return OpenKey(key, subKey, access, false, result, nullptr);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
  return OpenKey(key, Narrow(subKey).get(), access, false, result, nullptr);
}

// Without a subkey both shorthands hand back the key itself, as Win32 does.
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  if (result && (!subKey || !*subKey)) {
    *result = key;
    return RegFlushKey(key);
  }
  return OpenKey(key, subKey, REG_MAXIMUM_ALLOWED, true, result, nullptr);
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  if (result && (!subKey || !*subKey)) {
    *result = key;
    return RegFlushKey(key);
  }
  return OpenKey(key, subKey, REG_MAXIMUM_ALLOWED, false, result, nullptr);
}

LONG RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.handles.erase(reinterpret_cast<ULONG_PTR>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) { return DeleteKey(key, subKey); }

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return DeleteKey(key, Narrow(subKey).get()); }

LONG RegFlushKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.handles.count(reinterpret_cast<ULONG_PTR>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
  return RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize) {
  return RegEnumKeyExW(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR keyClass,
                   LPDWORD classSize, FILETIME* lastWriteTime) {
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  std::string found;
  if (LONG error = EnumKey(key, index, &found)) return error;
  if (LONG error = CopyName(found, name, nameSize)) return error;
  ClearClass(classSize, keyClass);
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPWSTR keyClass,
                   LPDWORD classSize, FILETIME* lastWriteTime) {
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  std::string found;
  if (LONG error = EnumKey(key, index, &found)) return error;
  if (LONG error = CopyName(Utf8ToUtf16(found), name, nameSize)) return error;
  ClearClass(classSize, keyClass);
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) {
  if (!name || !nameSize || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  StoredValue value;
  if (LONG error = EnumValue(key, index, &value)) return error;
  if (LONG error = CopyName(value.name, name, nameSize)) return error;
  return CopyData(ViewA(value), value.type, type, data, dataSize);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) {
  if (!name || !nameSize || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  StoredValue value;
  if (LONG error = EnumValue(key, index, &value)) return error;
  if (LONG error = CopyName(Utf8ToUtf16(value.name), name, nameSize)) return error;
  return CopyData(ViewW(value), value.type, type, data, dataSize);
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  StoredValue value;
  if (LONG error = QueryValue(key, name, &value)) return error;
  return CopyData(ViewA(value), value.type, type, data, dataSize);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  StoredValue value;
  if (LONG error = QueryValue(key, Narrow(name).get(), &value)) return error;
  return CopyData(ViewW(value), value.type, type, data, dataSize);
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  if (!data && dataSize > 0) return ERROR_INVALID_PARAMETER;
  return SetValue(key, name, type, StoreFromA(type, data, dataSize));
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  if (!data && dataSize > 0) return ERROR_INVALID_PARAMETER;
  return SetValue(key, Narrow(name).get(), type, StoreFromW(type, data, dataSize));
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) { return DeleteValue(key, name); }

LONG RegDeleteValueW(HKEY key, LPCWSTR name) { return DeleteValue(key, Narrow(name).get()); }

LONG RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  HKEY opened = key;
  if (subKey && *subKey) {
    if (LONG error = OpenKey(key, subKey, KEY_QUERY_VALUE, false, &opened, nullptr)) return error;
  }
  StoredValue value;
  LONG error = QueryValue(opened, nullptr, &value);
  if (opened != key) RegCloseKey(opened);
  if (error == ERROR_FILE_NOT_FOUND) {
    value = StoredValue();
    value.type = REG_SZ;
    error = ERROR_SUCCESS;
  }
  if (error) return error;
  if (!IsText(value.type)) return ERROR_INVALID_DATA;
  DWORD size = dataSize ? static_cast<DWORD>(*dataSize) : 0;
  error = CopyData(ViewA(value), value.type, nullptr, reinterpret_cast<LPBYTE>(data), dataSize ? &size : nullptr);
  if (dataSize) *dataSize = static_cast<LONG>(size);
  return error;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorSize,
                      FILETIME* lastWriteTime) {
  std::vector<std::string> keys;
  std::vector<StoredValue> stored;
  if (LONG error = ListKey(key, &keys, &stored)) return error;
  size_t longestKey = 0;
  for (const std::string& name : keys) longestKey = std::max(longestKey, name.size());
  size_t longestName = 0;
  size_t largest = 0;
  for (const StoredValue& value : stored) {
    longestName = std::max(longestName, value.name.size());
    largest = std::max(largest, ViewA(value).size());
  }
  ClearClass(classSize, keyClass);
  if (subKeys) *subKeys = static_cast<DWORD>(keys.size());
  if (maxSubKeyLength) *maxSubKeyLength = static_cast<DWORD>(longestKey);
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = static_cast<DWORD>(stored.size());
  if (maxValueNameLength) *maxValueNameLength = static_cast<DWORD>(longestName);
  if (maxValueLength) *maxValueLength = static_cast<DWORD>(largest);
  if (securityDescriptorSize) *securityDescriptorSize = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

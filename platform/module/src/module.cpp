// Module loading over dlopen/dlsym/dlclose.
#include "platform/module/module.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/handles.h"

#ifndef MVN_MODULEDIR_FROM_PROGRAM
#define MVN_MODULEDIR_FROM_PROGRAM "../lib/mvn"
#endif

namespace {

class LoadedModule : public mvn::ModuleObject {
 public:
  LoadedModule(void* library, std::string path) : m_library(library), m_path(std::move(path)) {}
  const char* Path() const override { return m_path.c_str(); }
  void* Library() const { return m_library; }
  int m_loads = 1;  // guarded by g_mutex

 private:
  void* m_library;
  std::string m_path;
};

std::mutex g_mutex;
std::map<void*, HMODULE>& Loaded() {
  static auto* loaded = new std::map<void*, HMODULE>;
  return *loaded;
}

bool EndsWithIgnoringCase(const std::string& text, const char* suffix) {
  std::size_t n = std::strlen(suffix);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file name to load for a module name.
std::string FileNameOf(const char* name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '\\') c = '/';
  }
  std::string last = BaseName(file);
  if (EndsWithIgnoringCase(file, ".dll")) {
    file.replace(file.size() - 4, 4, ".so");
  } else if (!last.empty() && last.back() == '.') {
    file.pop_back();  // "name." : exactly this name, no extension added
  } else if (last.find('.') == std::string::npos) {
    file += ".so";
  }
  return file;
}

std::string ProgramDirectory() {
  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) return ".";
  return DirectoryOf(std::string(path, static_cast<std::size_t>(n)));
}

std::string CurrentDirectory() {
  char path[PATH_MAX + 1];
  return getcwd(path, sizeof path) ? std::string(path) : std::string(".");
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The error of a failed dlopen of a file that exists: a file that is not an
// object of this machine is a bad format; otherwise (a missing dependency,
// an unresolved symbol) the module counts as not found, as on Win32.
DWORD ClassifyLoadFailure(const std::string& path, const char* loaderText) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ERROR_MOD_NOT_FOUND;
  unsigned char magic[4] = {};
  ssize_t n = read(fd, magic, sizeof magic);
  close(fd);
  if (n != 4 || std::memcmp(magic, "\177ELF", 4) != 0) return ERROR_BAD_EXE_FORMAT;
  static const char* const kFormatTexts[] = {"wrong ELF class", "invalid ELF header", "file too short",
                                             "ELF load command", "cannot dynamically load", "ELF file"};
  for (const char* text : kFormatTexts) {
    if (loaderText && std::strstr(loaderText, text)) return ERROR_BAD_EXE_FORMAT;
  }
  return ERROR_MOD_NOT_FOUND;
}

std::string LoadedPath(void* library, const std::string& fallback) {
  struct link_map* map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && map->l_name[0]) {
    char real[PATH_MAX];
    if (realpath(map->l_name, real)) return real;
    return map->l_name;
  }
  return fallback;
}

std::shared_ptr<LoadedModule> GetModule(HMODULE module) {
  auto object = mvn::HandleGetAs<LoadedModule>(module);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

HMODULE LookupLoaded(const char* name) {
  std::string file = FileNameOf(name);
  bool byPath = file.find('/') != std::string::npos;
  std::lock_guard lock(g_mutex);
  for (const auto& [library, handle] : Loaded()) {
    auto object = mvn::HandleGetAs<LoadedModule>(handle);
    if (!object) continue;
    std::string path = object->Path();
    if (byPath ? path == file : strcasecmp(BaseName(path).c_str(), file.c_str()) == 0) return handle;
  }
  return nullptr;
}

}  // namespace

std::string ModuleFileOf(LPCSTR name) {
  if (!name || !*name) return std::string();
  std::string file = FileNameOf(name);
  if (file.find('/') != std::string::npos) return IsFile(file) ? file : std::string();
  // Beside the program, in the installed module folder next to the
  // program's folder (bin/../lib/mvn), then (not for root) the current
  // directory: root's current folder may be any user's.
  const std::string program = ProgramDirectory();
  std::vector<std::string> directories = {program, program + "/" MVN_MODULEDIR_FROM_PROGRAM};
  if (geteuid() != 0) directories.push_back(CurrentDirectory());
  for (const std::string& directory : directories) {
    char found[PATH_MAX];
    if (FindPathIgnoringCase((directory + "/" + file).c_str(), found, sizeof found) && IsFile(found)) return found;
  }
  return std::string();
}

HMODULE LoadLibraryA(LPCSTR fileName) {
  static std::once_flag registered;
  std::call_once(registered, [] { mvn::RegisterModuleLookup(&LookupLoaded); });
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = FileNameOf(fileName);

  std::string candidate;
  if (file.find('/') != std::string::npos) {
    if (!IsFile(file)) {
      mvn::SetLastErrorDetail(ERROR_MOD_NOT_FOUND, (file + ": cannot open shared object file: No such file or directory").c_str());
      return nullptr;
    }
    candidate = file;
  } else {
    candidate = ModuleFileOf(fileName);
  }

  // Without a candidate of our own the loader searches its usual places.
  const std::string& target = candidate.empty() ? file : candidate;
  dlerror();
  void* library = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* text = dlerror();
    std::string loaderText = text ? text : (target + ": cannot be loaded");
    DWORD code = candidate.empty() ? ERROR_MOD_NOT_FOUND : ClassifyLoadFailure(candidate, loaderText.c_str());
    mvn::SetLastErrorDetail(code, loaderText.c_str());
    return nullptr;
  }

  std::lock_guard lock(g_mutex);
  auto it = Loaded().find(library);
  if (it != Loaded().end()) {
    if (auto object = mvn::HandleGetAs<LoadedModule>(it->second)) {
      ++object->m_loads;
      SetLastError(ERROR_SUCCESS);
      return it->second;
    }
  }
  char real[PATH_MAX];
  std::string path = LoadedPath(library, realpath(target.c_str(), real) ? std::string(real) : target);
  HMODULE handle = mvn::HandleInsert(std::make_shared<LoadedModule>(library, path));
  if (!handle) {
    dlclose(library);
    return nullptr;
  }
  Loaded()[library] = handle;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!procName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
    mvn::SetLastErrorDetail(ERROR_PROC_NOT_FOUND, "exports by ordinal are not supported");
    return nullptr;
  }
  void* library = nullptr;
  if (module == GetModuleHandleA(nullptr)) {
    static void* program = dlopen(nullptr, RTLD_NOW);
    library = program;
  } else {
    auto object = GetModule(module);
    if (!object) return nullptr;
    library = object->Library();
  }
  dlerror();
  void* symbol = dlsym(library, procName);
  if (!symbol) {
    const char* text = dlerror();
    mvn::SetLastErrorDetail(ERROR_PROC_NOT_FOUND,
                            text ? text : (std::string("undefined symbol: ") + procName).c_str());
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (module && module == GetModuleHandleA(nullptr)) return TRUE;
  auto object = GetModule(module);
  if (!object) return FALSE;
  {
    std::lock_guard lock(g_mutex);
    if (--object->m_loads == 0) {
      mvn::HandleRemove(module);
      Loaded().erase(object->Library());
    }
  }
  if (dlclose(object->Library()) != 0) {
    const char* text = dlerror();
    mvn::SetLastErrorDetail(ERROR_INVALID_HANDLE, text);
    return FALSE;
  }
  return TRUE;
}

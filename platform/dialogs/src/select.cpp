// Choosing the backend, loading the Qt backend on first use, and message
// boxes on the display.
//
// Headless unless a display is there: MVN_DIALOGS=headless forces headless;
// otherwise QT_QPA_PLATFORM (e.g. "offscreen") selects Qt, and so does a
// reachable X display (DISPLAY) or Wayland compositor (WAYLAND_DISPLAY). The Qt backend is the shared object
// mvn_dialogs_qt.so, opened with dlopen the first time a window or message
// box is shown with Qt selected, so nothing of Qt is loaded before.
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/dialogs/src/core.h"

namespace mvn::dialogs {
namespace {

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

bool SameNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

bool ConnectUnix(const std::string& path, bool abstractName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t offset = abstractName ? 1 : 0;
  if (path.size() + offset >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstractName ? 0 : 1));
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  close(fd);
  return ok;
}

bool ConnectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t size = sizeof(error);
      ok = poll(&p, 1, 2000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

// An X display name is [host]:number[.screen]; an empty host or "unix"
// means the local socket.
bool XDisplayReachable(const char* display) {
  std::string name = display;
  size_t colon = name.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = name.substr(0, colon);
  int number = std::atoi(name.c_str() + colon + 1);
  if (!host.empty() && host[0] == '/') return ConnectUnix(host + ":" + std::to_string(number), false);
  if (host.empty() || host == "unix") {
    std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    return ConnectUnix(path, true) || ConnectUnix(path, false);
  }
  return ConnectTcp(host, 6000 + number);
}

bool WaylandReachable(const char* display) {
  std::string path = display;
  if (path[0] != '/') {
    const char* runtime = Env("XDG_RUNTIME_DIR");
    if (!runtime) return false;
    path = std::string(runtime) + "/" + path;
  }
  return ConnectUnix(path, false);
}

// Whether Qt should show windows; platform receives the Qt platform to ask
// for (empty: Qt's own choice from QT_QPA_PLATFORM). A platform that needs a
// display is only chosen when the display answers, since Qt ends the
// process when it cannot open one.
bool WantQt(std::string* platform, std::string* why) {
  platform->clear();
  const char* mode = Env("MVN_DIALOGS");
  if (mode && SameNoCase(mode, "headless")) return false;
  const char* display = Env("DISPLAY");
  const char* wayland = Env("WAYLAND_DISPLAY");
  if (const char* qpa = Env("QT_QPA_PLATFORM")) {
    std::string name(qpa, std::strcspn(qpa, ";:"));
    if (name == "xcb" && !(display && XDisplayReachable(display))) {
      *why = "QT_QPA_PLATFORM=xcb but no X display can be reached";
      return false;
    }
    if (name.rfind("wayland", 0) == 0 && !(wayland && WaylandReachable(wayland))) {
      *why = "QT_QPA_PLATFORM=" + name + " but no Wayland display can be reached";
      return false;
    }
    return true;
  }
  if (display) {
    if (XDisplayReachable(display)) {
      *platform = "xcb";
      return true;
    }
    *why = std::string("the X display \"") + display + "\" cannot be reached";
  }
  if (wayland) {
    if (WaylandReachable(wayland)) {
      *platform = "wayland";
      return true;
    }
    *why = std::string("the Wayland display \"") + wayland + "\" cannot be reached";
  }
  return false;
}

std::string Directory(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

constexpr const char* kQtBackendName = "mvn_dialogs_qt.so";

#ifndef MVN_MODULEDIR_FROM_PROGRAM
#define MVN_MODULEDIR_FROM_PROGRAM "../lib/mvn"
#endif

// The folders the loader searches for libraries of the deliverable that
// holds this code: its run path, LD_LIBRARY_PATH, the system's folders.
// Asked of the loader (dlinfo) instead of leaving a bare name to dlopen,
// which a sanitizer's interposed dlopen resolves against the wrong object.
std::vector<std::string> LoaderSearchPath() {
  std::vector<std::string> folders;
  Dl_info info{};
  void* handle = nullptr;
  if (dladdr(reinterpret_cast<void*>(&LoaderSearchPath), &info) && info.dli_fname && info.dli_fname[0] == '/')
    handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) handle = dlopen(nullptr, RTLD_LAZY);  // the program itself
  if (!handle) return folders;
  Dl_serinfo size{};
  if (dlinfo(handle, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    std::vector<char> buffer(size.dls_size);
    auto* serinfo = reinterpret_cast<Dl_serinfo*>(buffer.data());
    *serinfo = size;
    if (dlinfo(handle, RTLD_DI_SERINFO, serinfo) == 0)
      for (unsigned i = 0; i < serinfo->dls_cnt; ++i)
        if (serinfo->dls_serpath[i].dls_name && *serinfo->dls_serpath[i].dls_name)
          folders.push_back(serinfo->dls_serpath[i].dls_name);
  }
  dlclose(handle);
  return folders;
}

// Where the Qt backend may be: MVN_DIALOGS_QT_PATH alone when set; else
// beside the program, in the installed module folder next to the program's
// folder (bin/../lib/mvn), beside the deliverable that holds this code (a
// delivery module), and last along the loader's search path of that
// deliverable (the build tree's programs and modules carry the backend's
// build folder in their run path; installed files carry none).
std::vector<std::string> QtCandidates() {
  if (const char* path = Env("MVN_DIALOGS_QT_PATH")) return {path};
  std::vector<std::string> paths;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) {
    exe[n] = '\0';
    paths.push_back(Directory(exe) + "/" + kQtBackendName);
    paths.push_back(Directory(exe) + "/" MVN_MODULEDIR_FROM_PROGRAM "/" + kQtBackendName);
  }
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&QtCandidates), &info) && info.dli_fname && info.dli_fname[0] == '/')
    paths.push_back(Directory(info.dli_fname) + "/" + kQtBackendName);
  for (const std::string& folder : LoaderSearchPath()) paths.push_back(folder + "/" + kQtBackendName);
  return paths;
}

std::mutex g_qtLock;
View* g_qt = nullptr;
bool g_qtFailed = false;

View* LoadQt(const std::string& platform) {
  std::lock_guard<std::mutex> lock(g_qtLock);
  if (g_qt || g_qtFailed) return g_qt;
  std::string problem = "no " + std::string(kQtBackendName) + " found";
  for (const std::string& path : QtCandidates()) {
    if (access(path.c_str(), F_OK) != 0) continue;
    // Qt is never unloaded: its application object lives for the process.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library) {
      const char* error = dlerror();
      problem = error ? error : path;
      continue;
    }
    auto entry = reinterpret_cast<View* (*)(unsigned)>(dlsym(library, "mvn_dialogs_qt_backend"));
    View* view = entry ? entry(kBackendAbi) : nullptr;
    if (!view) {
      problem = path + " is not a Qt backend of this build";
      continue;
    }
    std::string error;
    if (!view->Start(platform.empty() ? nullptr : platform.c_str(), &error)) {
      problem = error;
      break;
    }
    g_qt = view;
    return g_qt;
  }
  g_qtFailed = true;
  NoteOnce("the Qt backend is not available (" + problem + "); dialogs run headless");
  return nullptr;
}

std::mutex g_noteLock;
std::set<std::string>& Notes() {
  static auto* notes = new std::set<std::string>();
  return *notes;
}

// Message boxes.
std::mutex g_boxLock;
bool g_displayBoxes = false;  // the program (or a Qt dialog) asked for them
bool g_hookInstalled = false;

int DisplayMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

void InstallHook(bool wanted) {
  if (wanted == g_hookInstalled) return;
  SetMessageBoxBackend(wanted ? &DisplayMessageBox : nullptr);
  g_hookInstalled = wanted;
}

int DisplayMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (HasMessageBoxScript()) return RunMessageBoxScript(owner, text, caption, type);
  std::string platform, why;
  if (WantQt(&platform, &why)) {
    if (View* qt = LoadQt(platform)) {
      int answer = qt->MessageBox(owner, text, caption, type);
      if (answer) return answer;
    }
  }
  // The kernel's own box (headless) for this one.
  std::lock_guard<std::mutex> lock(g_boxLock);
  bool installed = g_hookInstalled;
  InstallHook(false);
  int answer = MessageBoxA(owner, text, caption, type);
  InstallHook(installed);
  return answer;
}

}  // namespace

View* AcquireView() {
  std::string platform, why;
  if (!WantQt(&platform, &why)) {
    if (!why.empty()) NoteOnce(why + "; dialogs run headless");
    return HeadlessView();
  }
  View* qt = LoadQt(platform);
  if (!qt) return HeadlessView();
  {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_displayBoxes = true;
  }
  UpdateMessageBoxHook();
  return qt;
}

Backend SelectedBackend() {
  std::string platform, why;
  if (!WantQt(&platform, &why)) return Backend::Headless;
  std::lock_guard<std::mutex> lock(g_qtLock);
  return g_qtFailed ? Backend::Headless : Backend::Qt;
}

View* LoadedQtView() {
  std::lock_guard<std::mutex> lock(g_qtLock);
  return g_qt;
}

RECT CurrentDesktop(bool workArea) {
  View* view = HeadlessView();
  if (ModalFrame* frame = InnermostFrame()) {
    WindowPtr w = FindWindow(frame->window);
    if (w && w->view) view = w->view;
  }
  return workArea ? view->WorkArea() : view->Desktop();
}

void NoteOnce(const std::string& note) {
  {
    std::lock_guard<std::mutex> lock(g_noteLock);
    if (!Notes().insert(note).second) return;
  }
  std::fprintf(stderr, "dialogs: %s\n", note.c_str());
  std::fflush(stderr);
}

void ShowWithoutScriptNote(const WindowPtr& topLevel) {
  static std::once_flag once;
  std::call_once(once, [&] {
    std::fprintf(stderr,
                 "dialogs: no display: \"%s\" was closed as cancelled (set DISPLAY, WAYLAND_DISPLAY or "
                 "QT_QPA_PLATFORM to show dialogs)\n",
                 topLevel->text.c_str());
    std::fflush(stderr);
  });
}

void UpdateMessageBoxHook() {
  std::lock_guard<std::mutex> lock(g_boxLock);
  std::string platform, why;
  bool wanted = HasMessageBoxScript() || (g_displayBoxes && WantQt(&platform, &why));
  InstallHook(wanted);
}

}  // namespace mvn::dialogs

void EnableDisplayMessageBoxes() {
  {
    std::lock_guard<std::mutex> lock(mvn::dialogs::g_boxLock);
    mvn::dialogs::g_displayBoxes = true;
  }
  mvn::dialogs::UpdateMessageBoxHook();
}

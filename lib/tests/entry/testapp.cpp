// A program built on the library's entry, for the entry tests: it prints
// what it sees (words, variables, configuration, notifications) on standard
// output, one line each, and its behaviour is chosen by MVNTEST_MODE (a
// comma list of flags) and MVNTEST_VARS (variables to print).
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/cxxapp.h"
#include "lib/notify.h"

namespace {

void Out(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool Mode(const char* flag) {
  const char* mode = std::getenv("MVNTEST_MODE");
  if (!mode) return false;
  std::string list = std::string(",") + mode + ",";
  return list.find(std::string(",") + flag + ",") != std::string::npos;
}

class CTESTAPP : public CXXAPP {
 public:
  ~CTESTAPP() { Out("DESTROYED"); }

  void Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1, const char* p2,
              const char* p3) override {
    CNOTIFYMSG message;
    message.Format(context, expander, reserved, id, p1, p2, p3);
    Out("NOTIFY %s|%u|%s", message.m_text.Text(), message.m_severity, message.LogName());
    if (Mode("display")) NotifyDisplay(m_appName.Text(), context, expander, reserved, id, p1, p2, p3);
  }

  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override {
    Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
  }

  bool ProcessArgument(DWORD index, CTEXT* word) override {
    if (index == 0 && Mode("regkey")) {
      // The registry configuration's key for this application.
      HKEY key = nullptr;
      std::string path = std::string(CXXAPP_REGISTRY_KEY) + "\\mvnapp";
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) == ERROR_SUCCESS) {
        const char value[] = "from the registry";
        RegSetValueExA(key, "Greeting", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
        RegCloseKey(key);
      }
    }
    bool accepted = CXXAPP::ProcessArgument(index, word);
    if (index > 0) Out("ARG %u [%s] %s", index, word->Text(), accepted ? "base" : "own");
    if (accepted) return true;
    // The application's own words: everything but words starting "BAD" and
    // the CONFIG switches the base refused.
    return std::strncmp(word->Text(), "BAD", 3) != 0 && !MatchSwitch(word->Text(), "CONFIG", nullptr);
  }

  bool Initialise(CCONFIG* config) override {
    Out("INIT section=%s", config->SectionName());
    if (Mode("startup9")) NotifySetDefault(NOTIFY_APPSTARTUP, "NL", 9, "App Startup");
    if (Mode("baddir")) m_config.Set("/nonexistent-mvn-test-dir/sub/app.ini");
    bool result = CXXAPP::Initialise(config);
    char cwd[4096];
    Out("CWD %s", getcwd(cwd, sizeof cwd) ? cwd : "?");
    Out("CONFIG %s", m_config.Text());
    Out("APPNAME %s", m_appName.Text());
    Out("APPINST %u", m_appInst);
    if (const char* names = std::getenv("MVNTEST_VARS")) {
      std::string list = names;
      std::size_t start = 0;
      while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string name = list.substr(start, end - start);
        if (const char* value = m_variables.FindValue(name.c_str()))
          Out("VAR %s=%s", name.c_str(), value);
        else
          Out("VAR %s missing", name.c_str());
        start = end + 1;
      }
    }
    CTEXTBUF64 greeting;
    if (result && GetConfigString(false, config, "Greeting", &greeting)) Out("GREETING %s", greeting.Text());
    if (result && Mode("required")) {
      CTEXTBUF16 missing;
      GetConfigString(true, config, "NoSuchKey", &missing);
    }
    Out("INITRESULT %d", result ? 1 : 0);
    return result;
  }

  void Run() override {
    Out("RUN");
    if (Mode("exit3")) SetExitCode(3);
    if (Mode("twice")) {
      for (int i = 1; i <= 2; ++i) {
        try {
          RaiseLibraryError("TestApp", i);
        } catch (const SystemException& e) {
          Out("CAUGHT %08X", e.Code());
        }
      }
    }
    if (Mode("throw")) RaiseLibraryError("TestApp", 77);
    if (Mode("pure")) CXXAPP::Run();
  }

  void Shutdown() override { Out("SHUTDOWN"); }
};

}  // namespace

MVN_APPLICATION(CTESTAPP);

int main() { program_entry(); }

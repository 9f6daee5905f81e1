// $CXXAPP: the application object, the command line and the variable list
// (the entry itself is in lib/cxxappentry.cpp).
#include "lib/cxxapp.h"

#include <cstring>
#include <new>

#include "lib/notify.h"

namespace {

constexpr const char* kSourceModule = "$CXXAPP";
constexpr int kLineConfigOpen = 375;
// A variable still changing after this many expansions refers to itself.
constexpr DWORD kExpandRounds = 19;

// State the application object's constructor must not touch: the library is
// started on the object's storage before the constructor runs, so it lives
// here rather than in the object.
CCONFIGINI* s_configIni = nullptr;
CCONFIGREG* s_configReg = nullptr;
DWORD s_exitCode = 0;
CXXAPP* s_application = nullptr;

NOTIFYDEF s_cxxappTable[] = {
    {NOTIFY_APPSTARTUP, "NOTIFY_APPSTARTUP", 0, 0, 0, 0},
    {NOTIFY_APPSHUTDOWN, "NOTIFY_APPSHUTDOWN", 0, 0, 0, 0},
    {NOTIFY_INVALIDARGUMENT, "NOTIFY_INVALIDARGUMENT", 0, 0, 0, 0},
    {NOTIFY_INVALIDDIRECTORY, "NOTIFY_INVALIDDIRECTORY", 0, 0, 0, 0},
    {NOTIFY_CONFIGINVALIDENTRY, "NOTIFY_CONFIGINVALIDENTRY", 0, 0, 0, 0},
    {NOTIFY_CONFIGMISSINGENTRY, "NOTIFY_CONFIGMISSINGENTRY", 0, 0, 0, 0},
    {NOTIFY_CONFIGMISSINGPATH, "NOTIFY_CONFIGMISSINGPATH", 0, 0, 0, 0},
    {NOTIFY_CONFIGMISSINGFILE, "NOTIFY_CONFIGMISSINGFILE", 0, 0, 0, 0},
    {NOTIFY_NOTIFYINITFAILED, "NOTIFY_NOTIFYINITFAILED", 0, 0, 0, 0},
    {NOTIFY_VARIABLEREMOVED, "NOTIFY_VARIABLEREMOVED", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};
MVN_STATIC_OBJECT(CNOTIFYSOURCE, s_sourceCXXAPP, "CXXAPP", s_cxxappTable);

// Stores the expanded value of the entry at entry (named name). An entry
// keeps its name even when its value became empty, and an entry without a
// name is replaced as a whole.
void StoreValue(CSTRINGLIST* list, const char* entry, const char* name, const char* value) {
  if (*name && *value) {
    list->SetValue(name, value);
    return;
  }
  CTEXTBUF256 text;
  text.Join3(name, "=", value);
  list->Remove(entry);
  list->Add(text.Text());
}

}  // namespace

// ---------------------------------------------------------------------------
// CXXAPP

CXXAPP::CXXAPP() : m_appInst(0) { s_application = this; }

CXXAPP::~CXXAPP() {
  if (s_application == this) s_application = nullptr;
}

void CXXAPP::Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) {}

void CXXAPP::Notify(DWORD, const char*, const char*, const char*) {}

bool CXXAPP::ProcessArgument(DWORD index, CTEXT* word) {
  if (index == 0) {
    ImportEnvironment(&m_variables);
    ExpandVariables(&m_variables);
    // CONFIG: the program path with the extension "INI", when that file
    // exists (the exact name first, then a match without regard to case).
    CPATH ini(word->Text());
    ini.SetExtension("INI");
    m_config.Set(nullptr);
    char found[4 * MAX_PATH];
    if (!ini.IsEmpty() && FindPathIgnoringCase(ini.Text(), found, sizeof found)) {
      CPATH file(found);
      if (file.IsFile()) m_config.Set(found);
    }
    // APPNAME: the program's file name without its extension.
    CPATH program(word->Text());
    program.SetExtension(nullptr);
    m_appName.Assign(program.GetName());
    return true;
  }

  m_variables.Expand(word, nullptr);
  const char* value = nullptr;
  if (MatchSwitch(word->Text(), "APPNAME", &value)) {
    m_appName.Assign(value);
    return true;
  }
  if (MatchSwitch(word->Text(), "APPINST", &value)) {
    m_appInst = static_cast<DWORD>(StrToUInt64(value));
    return true;
  }
  if (MatchSwitch(word->Text(), "APPVAR", &value)) {
    CTEXTBUF256 pieces;
    pieces.Assign(value);
    char* cursor = pieces.Buffer();
    while (char* piece = StrToken(&cursor, ",")) {
      if (*piece) m_variables.Add(piece);
    }
    return true;
  }
  if (MatchSwitch(word->Text(), "CONFIG", &value)) {
    CPATH path(value);
    if (!path.GetFullPathName()) return false;
    m_config.Set(path.Text());
    return true;
  }
  return false;
}

bool CXXAPP::Initialise(CCONFIG* config) {
  if (!m_config.IsEmpty()) {
    // Relative paths of the configuration are relative to its directory.
    m_startDirectory.GetCurrentDirectory();
    CPATH directory(m_config.Text());
    directory.SetName(nullptr);
    // Compared exactly: directories whose names differ only by case are
    // different directories here.
    if (!directory.IsEmpty() && StrCmp(directory.Text(), m_startDirectory.Text(), 0) != 0) {
      if (!directory.IsDirectory() || !directory.SetCurrentDirectory()) {
        Notify(NOTIFY_INVALIDDIRECTORY, directory.Text(), nullptr, nullptr);
        return false;
      }
    }
  }
  m_variables.SetValue("APPNAME", m_appName.Text());
  m_variables.SetInt("APPINST", m_appInst);
  config->GetSectionEntries("APPVARS", &m_variables);
  config->OpenSection(m_appName.Text(), false);
  config->GetEntryList("APPVARS", &m_variables);
  ExpandVariables(&m_variables);
  config->SetVariables(&m_variables);
  if (!NotifyLoadMessages(config, m_appName.Text())) {
    Notify(NOTIFY_NOTIFYINITFAILED, nullptr, nullptr, nullptr);
    return false;
  }
  return true;
}

void CXXAPP::Run() { LibraryPureCall(); }

void CXXAPP::Shutdown() {}

CCONFIG* CXXAPP::OpenConfig(bool forceRegistry) {
  if (s_configIni || s_configReg) RaiseLibraryError(kSourceModule, kLineConfigOpen);
  if (!forceRegistry && !m_config.IsEmpty()) {
    void* block = AllocZero(sizeof(CCONFIGINI), nullptr);
    s_configIni = new (block) CCONFIGINI(m_config.Text());
    return s_configIni;
  }
  void* block = AllocZero(sizeof(CCONFIGREG), nullptr);
  s_configReg = new (block) CCONFIGREG(HKEY_LOCAL_MACHINE, CXXAPP_REGISTRY_KEY);
  return s_configReg;
}

void CXXAPP::CloseConfig(CCONFIG* config) {
  if (!config) return;
  if (config == s_configIni) {
    CCONFIGINI* ini = s_configIni;
    s_configIni = nullptr;
    ini->~CCONFIGINI();
    Free(ini);
  } else if (config == s_configReg) {
    CCONFIGREG* reg = s_configReg;
    s_configReg = nullptr;
    reg->~CCONFIGREG();
    Free(reg);
  }
}

bool CXXAPP::MatchSwitch(const char* word, const char* key, const char** value) {
  if (!word || !key || !*key) return false;
  if (StrICmp(word, key, static_cast<DWORD>(std::strlen(key))) != 0) return false;
  // The separator may stand anywhere after the key: 'CONFIGFILE=x' is CONFIG.
  const char* separator = word + StrCSpn(word, ":=");
  if (!*separator) return false;
  if (value) *value = separator + 1;
  return true;
}

bool CXXAPP::GetConfigString(bool required, CCONFIG* config, const char* key, CTEXT* destination) {
  if (config->GetString(key, destination)) return true;
  if (required) Notify(NOTIFY_CONFIGMISSINGENTRY, config->SectionName(), key, nullptr);
  return false;
}

bool CXXAPP::GetConfigUInt(bool required, CCONFIG* config, const char* key, DWORD* destination) {
  if (config->GetUInt(key, destination)) return true;
  if (required) Notify(NOTIFY_CONFIGMISSINGENTRY, config->SectionName(), key, nullptr);
  return false;
}

bool CXXAPP::GetConfigBool(bool required, CCONFIG* config, const char* key, bool* destination) {
  if (config->GetBool(key, destination)) return true;
  if (required) Notify(NOTIFY_CONFIGMISSINGENTRY, config->SectionName(), key, nullptr);
  return false;
}

bool CXXAPP::GetConfigPath(bool required, CCONFIG* config, const char* key, CPATH* destination) {
  CPATH path;
  if (!GetConfigString(required, config, key, &path)) return false;
  if (path.GetFullPathName() && path.CreateDirectory()) {
    destination->Set(path.Text());
    return true;
  }
  if (required) Notify(NOTIFY_CONFIGMISSINGPATH, config->SectionName(), key, path.Text());
  return false;
}

bool CXXAPP::GetConfigFile(bool required, CCONFIG* config, const char* key, CPATH* destination) {
  CPATH path;
  if (!GetConfigString(required, config, key, &path)) return false;
  if (path.IsRelative()) {
    if (path.Text()[0] == '.') {
      path.GetFullPathName();
    } else {
      // Along the search path; a failed search is reported only when the
      // file is required.
      CPATH found(path.Text());
      found.m_error.m_enabled = required ? 1 : 0;
      if (found.SearchPath(nullptr))
        path.Set(found.Text());
      else
        path.GetFullPathName();
    }
  }
  if (required && !path.IsFile()) {
    Notify(NOTIFY_CONFIGMISSINGFILE, config->SectionName(), key, path.Text());
    return false;
  }
  destination->Set(path.Text());
  return true;
}

DWORD CXXAPP::GetExitCode() { return s_exitCode; }

void CXXAPP::SetExitCode(DWORD code) { s_exitCode = code; }

CCONFIGINI* CXXAPP::IniConfig() { return s_configIni; }

CCONFIGREG* CXXAPP::RegistryConfig() { return s_configReg; }

CXXAPP* CXXAPP::Application() { return s_application; }

// ---------------------------------------------------------------------------
// Command line and variables

char* CommandLineNextWord(char** cursor) {
  char* p = cursor ? *cursor : nullptr;
  if (!p) return nullptr;
  while (*p && CharIsSpace(*p)) ++p;
  if (!*p) {
    *cursor = p;
    return nullptr;
  }
  char* word = p;
  char* out = p;
  for (;;) {
    char c = *p;
    if (!c) {
      *out = '\0';
      *cursor = p;
      return word;
    }
    if (CharIsSpace(c)) {
      *out = '\0';
      *cursor = p + 1;
      return word;
    }
    if (c == '"') {
      // The text up to the next quote belongs to the word; that quote ends
      // the word. Without one the word runs to the end of the line.
      ++p;
      while (*p && *p != '"') *out++ = *p++;
      bool closed = *p == '"';
      *out = '\0';
      *cursor = closed ? p + 1 : p;
      return word;
    }
    *out++ = c;
    ++p;
  }
}

bool ParseCommandLine() {
  CXXAPP* app = s_application;
  if (!app) return false;
  CTEXT line;
  line.Assign(GetCommandLineA());
  char* cursor = line.Buffer();
  CTEXTBUF256 word;
  DWORD index = 0;
  while (char* next = CommandLineNextWord(&cursor)) {
    word.Assign(next);
    app->m_variables.Expand(&word, nullptr);
    if (!app->ProcessArgument(index, &word)) {
      app->Notify(NOTIFY_INVALIDARGUMENT, word.Text(), nullptr, nullptr);
      return false;
    }
    ++index;
  }
  return true;
}

bool OpenConfigAndInitialise() {
  CXXAPP* app = s_application;
  if (!app) return false;
  CCONFIG* config = app->OpenConfig(false);
  bool result = false;
  try {
    if (config && config->OpenSection(app->m_appName.Text(), false)) result = app->Initialise(config);
  } catch (...) {
    app->CloseConfig(config);
    throw;
  }
  app->CloseConfig(config);
  return result;
}

void ImportEnvironment(CSTRINGLIST* list) {
  char* block = GetEnvironmentStringsA();
  if (!block) return;
  for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) {
    if (*entry != '=') list->Add(entry);
  }
  FreeEnvironmentStringsA(block);
}

void ExpandVariables(CSTRINGLIST* list) {
  CTEXTBUF64 name;
  CTEXTBUF256 value;
  bool restart = true;
  while (restart) {
    restart = false;
    const char* cursor = nullptr;
    while (list->NextEntry(&cursor, &name, &value)) {
      bool tooLong = false;
      if (!list->Expand(&value, nullptr, &tooLong) && !tooLong) continue;
      DWORD rounds = 1;
      // A value that does not settle within the rounds, or that grows past
      // the limit, is removed rather than kept half expanded.
      bool removed = tooLong;
      while (!removed) {
        if (rounds >= kExpandRounds) {
          removed = true;
          break;
        }
        if (!list->Expand(&value, nullptr, &tooLong)) {
          removed = tooLong;
          break;
        }
        ++rounds;
      }
      if (removed) {
        list->Remove(cursor);
        if (s_application) s_application->Notify(NOTIFY_VARIABLEREMOVED, name.Text(), nullptr, nullptr);
      } else {
        StoreValue(list, cursor, name.Text(), value.Text());
      }
      restart = true;  // the list changed: walk it again from the first entry
      break;
    }
  }
}

// $CXXAPP: the application object of a program and the program's entry.
//
// A program consists of one static application object of a class derived
// from CXXAPP, defined with MVN_APPLICATION, and a main() that calls
// program_entry(). The entry starts the library (private heap, static
// objects: the application object is built from the static-constructor
// table like every other static object), splits the command line and hands
// each word to the application, opens the configuration (an INI file or the
// registry), lets the application initialise, run and shut down, and ends
// the process with the exit code.
//
// The library is started on the application object's storage before its
// constructor runs. So the state the constructor must not touch (the two
// configuration pointers and the exit code) lives in plain static storage
// of the library rather than in the object; the heap and module handles are
// kept the same way by $CXXLIB.
#pragma once

#include "lib/config.h"
#include "lib/cxxlib.h"
#include "lib/pathfile.h"
#include "lib/stringlist.h"
#include "lib/text.h"

// Notifications of source CXXAPP.
constexpr DWORD NOTIFY_APPSTARTUP = 0x10101;
constexpr DWORD NOTIFY_APPSHUTDOWN = 0x10102;
constexpr DWORD NOTIFY_INVALIDARGUMENT = 0x10103;
constexpr DWORD NOTIFY_INVALIDDIRECTORY = 0x10104;
constexpr DWORD NOTIFY_CONFIGINVALIDENTRY = 0x10105;
constexpr DWORD NOTIFY_CONFIGMISSINGENTRY = 0x10106;
constexpr DWORD NOTIFY_CONFIGMISSINGPATH = 0x10107;
constexpr DWORD NOTIFY_CONFIGMISSINGFILE = 0x10108;
constexpr DWORD NOTIFY_NOTIFYINITFAILED = 0x10109;
// A variable whose expansion does not settle or grows past EXPAND_LIMIT
// was removed (%1 = its name).
constexpr DWORD NOTIFY_VARIABLEREMOVED = 0x1010A;

// The registry configuration's key below HKEY_LOCAL_MACHINE.
inline constexpr const char* CXXAPP_REGISTRY_KEY = "Software\\Morvane International";

class CXXAPP : public CXXHEAP {
 public:
  CXXAPP();
  ~CXXAPP();

  // Slots 4 and 5: nothing (the application formats and shows).
  void Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1, const char* p2,
              const char* p3) override;
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override;

  // Slot 6: the base switches APPNAME, APPINST, APPVAR and CONFIG; word 0 is
  // the program path. The word is expanded once more in place, so an
  // application that calls this first sees the expanded word. False
  // refuses the word.
  virtual bool ProcessArgument(DWORD index, CTEXT* word);
  // Slot 7: directory change, variables, message overrides.
  virtual bool Initialise(CCONFIG* config);
  // Slot 8: the application's run; pure here (library fault).
  virtual void Run();
  // Slot 9: nothing.
  virtual void Shutdown();
  // Slot 10: a CCONFIGINI on CONFIG, or (CONFIG empty or forced) a
  // CCONFIGREG on HKEY_LOCAL_MACHINE\Software\Morvane International. A
  // configuration already open is a library fault ("$CXXAPP", 375).
  virtual CCONFIG* OpenConfig(bool forceRegistry);
  // Slot 11: destroys a configuration made by OpenConfig.
  virtual void CloseConfig(CCONFIG* config);

  // Matches "KEY=value" or "KEY:value": the word starts with the key
  // (without regard to case) and holds ":" or "="; *value receives the text
  // after the first of them.
  static bool MatchSwitch(const char* word, const char* key, const char** value);

  // Typed getters: false when the value is missing (raising
  // NOTIFY_CONFIGMISSINGENTRY when required); the destination is then left
  // to the caller's default.
  bool GetConfigString(bool required, CCONFIG* config, const char* key, CTEXT* destination);
  bool GetConfigUInt(bool required, CCONFIG* config, const char* key, DWORD* destination);
  bool GetConfigBool(bool required, CCONFIG* config, const char* key, bool* destination);
  // A directory, made a full path and created with its parents.
  bool GetConfigPath(bool required, CCONFIG* config, const char* key, CPATH* destination);
  // A file; required means it must exist.
  bool GetConfigFile(bool required, CCONFIG* config, const char* key, CPATH* destination);

  // The process exit code (0 at start).
  static DWORD GetExitCode();
  static void SetExitCode(DWORD code);
  // The configurations open now (nullptr when none).
  static CCONFIGINI* IniConfig();
  static CCONFIGREG* RegistryConfig();
  // The application object once constructed, else nullptr.
  static CXXAPP* Application();

  CSTRINGLIST m_variables;      // NAME=value: environment, APPVAR, APPVARS
  CTEXTBUF32 m_appName;         // APPNAME
  DWORD m_appInst;              // APPINST
  CPATH m_config;               // CONFIG: full path of the INI file; empty = registry
  CPATH m_startDirectory;       // the current directory found by Initialise
};

// The entry: starts the library, runs the application and ends the process
// with the exit code. When an exception passes, Shutdown and the library's
// end still run; the process then ends with the exception's code as exit
// code (0xEFFFFFFF for the library exception; a POSIX parent sees its low
// 8 bits, 255), after one line on standard error.
[[noreturn]] void program_entry();

// The two steps of the entry.
bool ParseCommandLine();
bool OpenConfigAndInitialise();

// Adds every environment string that does not begin with "=" as NAME=value.
void ImportEnvironment(CSTRINGLIST* list);
// Expands every entry with the list itself until nothing changes; an entry
// still changing after 19 rounds (X=%X%) is removed.
void ExpandVariables(CSTRINGLIST* list);

// Splits a command line into words the way ParseCommandLine does: leading
// white space skipped, a word runs to white space, a double quote takes the
// text up to the next one into the word and that closing quote ends the
// word. *cursor advances; the word is cut in place. nullptr at the end.
char* CommandLineNextWord(char** cursor);

// Defined by MVN_APPLICATION: the storage of the application object.
CXXAPP* MvnApplicationObject();

// Defines the program's application object of class type (derived from
// CXXAPP): built by the static-constructor table, destroyed through the
// exit list. Used once per program at namespace scope: MVN_APPLICATION(CMYAPP);
#define MVN_APPLICATION(type)                                                   \
  static CSTATICOBJECT<type> mvn_application_object;                            \
  CXXAPP* MvnApplicationObject() { return mvn_application_object.Get(); }       \
  static void mvn_application_destroy() { mvn_application_object.Destroy(); }   \
  static void mvn_application_construct() {                                     \
    mvn_application_object.Construct();                                         \
    AddExitFunction(&mvn_application_destroy);                                  \
  }                                                                             \
  MVN_STATIC_INIT(mvn_application_construct)

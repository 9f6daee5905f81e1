// $CXXAPP: the program entry. Kept apart from the application object so
// that only programs (which define MVN_APPLICATION) link it.
#include <cstdio>
#include <exception>

#include "lib/cxxapp.h"

namespace {

// Exit code of a process ended by an exception that is no system exception.
constexpr UINT kExitUnknownException = 0xFFFFFFFFu;

// What an exception that passed the entry ends the process with.
struct PASSEDEXCEPTION {
  bool passed = false;
  UINT code = 0;
  char text[96] = {};
};

void CaptureException(PASSEDEXCEPTION* passed) {
  if (passed->passed) return;
  passed->passed = true;
  try {
    throw;
  } catch (const SystemException& e) {
    passed->code = e.Code();
    std::snprintf(passed->text, sizeof passed->text, "%s", e.what());
  } catch (const std::exception& e) {
    passed->code = kExitUnknownException;
    std::snprintf(passed->text, sizeof passed->text, "%s", e.what());
  } catch (...) {
    passed->code = kExitUnknownException;
    std::snprintf(passed->text, sizeof passed->text, "unknown exception");
  }
}

}  // namespace

// Steps: exit code 0; start the library on the application object (which
// the static-constructor table then builds); parse the command line, open
// the configuration and initialise; start-up notification, Run, shut-down
// notification; Shutdown and the library's end also when an exception
// passes; end the process.
void program_entry() {
  CXXAPP::SetExitCode(0);
  PASSEDEXCEPTION passed;
  char name[64] = "";
  try {
    CXXHEAP::StartLibrary(MvnApplicationObject(), GetModuleHandleA(nullptr));
    CXXAPP* app = CXXAPP::Application();
    if (app && ParseCommandLine() && OpenConfigAndInitialise()) {
      app->Notify(NOTIFY_APPSTARTUP, nullptr, nullptr, nullptr);
      app->Run();
      app->Notify(NOTIFY_APPSHUTDOWN, nullptr, nullptr, nullptr);
    }
  } catch (...) {
    CaptureException(&passed);
  }
  try {
    if (CXXAPP* app = CXXAPP::Application()) {
      // Kept for the last words: the object dies with the library's end.
      std::snprintf(name, sizeof name, "%s", app->m_appName.Text());
      app->Shutdown();
    }
  } catch (...) {
    CaptureException(&passed);
  }
  try {
    CXXHEAP::EndLibrary();
  } catch (...) {
    CaptureException(&passed);
  }
  if (passed.passed) {
    // As an unhandled exception ends a process: with its code.
    std::fprintf(stderr, "%s: ended by %s\n", name[0] ? name : "program", passed.text);
    ExitProcess(passed.code);
  }
  ExitProcess(CXXAPP::GetExitCode());
}

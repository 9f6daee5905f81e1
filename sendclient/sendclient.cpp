// mvncsend: switches, configuration, working directories, the run and the
// shut-down of the send client.
#include "sendclient/sendclient.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/encode.h"
#include "lib/notify.h"
#include "platform/dialogs/dialogs.h"

namespace {

NOTIFYDEF s_sendClientTable[] = {
    {NOTIFY_SENDFILEERROR, "NOTIFY_SENDFILEERROR", 0, 0, 0, 0},
    {NOTIFY_INPUTNOTFOUND, "NOTIFY_INPUTNOTFOUND", 0, 0, 0, 0},
    {NOTIFY_NOTREGULARFILE, "NOTIFY_NOTREGULARFILE", 0, 0, 0, 0},
    {NOTIFY_JOBKEPT, "NOTIFY_JOBKEPT", 0, 0, 0, 0},
    {NOTIFY_JOBNOTCREATED, "NOTIFY_JOBNOTCREATED", 0, 0, 0, 0},
    {NOTIFY_CONFIGNOTFOUND, "NOTIFY_CONFIGNOTFOUND", 0, 0, 0, 0},
    {NOTIFY_NOINPUT, "NOTIFY_NOINPUT", 0, 0, 0, 0},
    {NOTIFY_INPUTUNREADABLE, "NOTIFY_INPUTUNREADABLE", 0, 0, 0, 0},
    {NOTIFY_RUNLEFT, "NOTIFY_RUNLEFT", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};
MVN_STATIC_OBJECT(CNOTIFYSOURCE, s_sourceSendClient, "SendClient", s_sendClientTable);

// Job directories numbered from 0 are tried up to this number.
constexpr DWORD kJobDirectoryLimit = 100000;

// The default texts (log name "NL"): severity 9 is never shown, 1 is shown
// when the program is interactive. The configuration's message sections
// override them. A "|" in a text is a line break in a message box, so the
// texts use none.
struct DEFAULTTEXT {
  DWORD id;
  DWORD severity;
  const char* text;
};
constexpr DEFAULTTEXT kDefaultTexts[] = {
    {NOTIFY_APPSTARTUP, 9, "App Startup"},
    {NOTIFY_APPSHUTDOWN, 9, "App Shutdown"},
    {NOTIFY_SENDFILEERROR, 1,
     "Error - unable to deliver your message\n<%1>\nThe job is kept as %2\nand its input as %3"},
    {NOTIFY_DELIVERY_INITIALIZE, 9, "INITIALIZE"},
    {NOTIFY_DELIVERY_TERMINATE, 9, "TERMINATE"},
    {NOTIFY_DELIVERY_CONFIGURE, 9, "CONFIGURE"},
    {NOTIFY_DELIVERY_SENDFILE, 9, "SENDFILE"},
    {NOTIFY_INPUTNOTFOUND, 1, "cannot find the input file %1"},
    {NOTIFY_NOTREGULARFILE, 1, "%1 is not a regular file; it was left as it is"},
    {NOTIFY_JOBKEPT, 1, "The fax was not sent: %1\nThe job is kept as %2\nand its input as %3"},
    {NOTIFY_JOBNOTCREATED, 1,
     "The fax was not sent: no job file can be created in %1: %2\nIts input is kept as %3"},
    {NOTIFY_CONFIGNOTFOUND, 1, "configuration file not found: %1"},
    {NOTIFY_NOINPUT, 1, "nothing to send: the directory %1 holds no file matching %2"},
    {NOTIFY_INPUTUNREADABLE, 1, "cannot open the input file %1: %2"},
    {NOTIFY_RUNLEFT, 1, "The fax %1 was not finished: %2\n%3"},
    // The library's notifications.
    {NOTIFY_EXCEPTION, 1, "mvncsend stopped on an internal error (%1, line %2)"},
    {NOTIFY_CRTCOMPAT, 1, "mvncsend cannot run: %1 %2 %3"},
    {NOTIFY_WIN32ERROR, 1, "%1 failed (%2): %3"},
    {NOTIFY_INVALIDARGUMENT, 1,
     "%1 is not a switch or file that mvncsend knows. Usage: mvncsend [CONFIG=file] [SENDTYPE=type] "
     "[GROUP:name] file-or-directory"},
    {NOTIFY_INVALIDDIRECTORY, 1, "cannot change to the configuration's directory %1"},
    {NOTIFY_CONFIGINVALIDENTRY, 1, "the setting %2 in section [%1] of the configuration has the invalid value %3"},
    {NOTIFY_CONFIGMISSINGENTRY, 1, "the setting %2 is missing from section [%1] of the configuration"},
    {NOTIFY_CONFIGMISSINGPATH, 1, "the directory %3 of the setting %2 in section [%1] cannot be made"},
    {NOTIFY_CONFIGMISSINGFILE, 1, "the file %3 of the setting %2 in section [%1] does not exist"},
    {NOTIFY_NOTIFYINITFAILED, 1, "the message texts of the configuration cannot be read"},
    {NOTIFY_VARIABLEREMOVED, 1,
     "the variable %1 was removed: its value does not settle or grows too long when expanded"},
};

// A later CONFIG word on the command line (the search for the INI file is
// then not needed, and its failure not reported).
bool CommandLineNamesConfig() {
  CTEXT line;
  line.Assign(GetCommandLineA());
  char* cursor = line.Buffer();
  bool first = true;
  while (char* word = CommandLineNextWord(&cursor)) {
    if (!first && CXXAPP::MatchSwitch(word, "CONFIG", nullptr)) return true;
    first = false;
  }
  return false;
}

}  // namespace

void SendClient::RegisterTexts() {
  for (const DEFAULTTEXT& entry : kDefaultTexts) NotifySetDefault(entry.id, "NL", entry.severity, entry.text);
}

SendClient::SendClient()
    : m_keepFiles(false),
      m_sendType(SENDTYPE_INPUT),
      m_externalAttachments(true),
      m_compressSections(false),
      m_sectionEncoding(ENCODING_HEX),
      m_interactive(true),
      m_compressJob(true),
      m_jobEncoding(ENCODING_64),
      m_bareWordSeen(false),
      m_keepPathFailed(false),
      m_notRegular(false),
      m_sent(false),
      m_refused(false) {
  m_inputFileMask.Assign("*.*");
}

// ---------------------------------------------------------------------------
// Notifications

void SendClient::Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1,
                        const char* p2, const char* p3) {
  if (!m_interactive) return;
  // With a display each shown notification is a message box there (the
  // first one switches the boxes on); without one it stays a line on
  // standard error. The box holds the run until the user closes it.
  // A Qt platform that draws nowhere (offscreen, minimal: what a driven or
  // headless parent passes down) is no display: a box there would hold the
  // run with nobody to close it.
  static bool s_displayBoxes = false;
  if (!s_displayBoxes) {
    s_displayBoxes = true;
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    std::string platform = qpa ? std::string(qpa).substr(0, std::strcspn(qpa, ":;")) : std::string();
    if (platform != "offscreen" && platform != "minimal") EnableDisplayMessageBoxes();
  }
  NotifyDisplay(m_appName.Text(), context, expander, reserved, id, p1, p2, p3);
}

void SendClient::Notify(DWORD id, const char* p1, const char* p2, const char* p3) {
  Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
}

// ---------------------------------------------------------------------------
// Command line

bool SendClient::ProcessArgument(DWORD index, CTEXT* word) {
  if (index == 0) {
    // Before anything can be raised: readable texts, and a run that ends
    // before sending anything ends with 1.
    RegisterTexts();
    SetExitCode(1);
  }
  if (CXXAPP::ProcessArgument(index, word)) {
    if (index > 0 && MatchSwitch(word->Text(), "CONFIG", nullptr)) {
      // A configuration that is not there is said so, not taken for the
      // registry's.
      CPATH config(m_config.Text());
      if (!config.IsFile()) {
        DWORD attributes = GetFileAttributesA(config.Text());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE))
          Notify(NOTIFY_NOTREGULARFILE, config.Text(), nullptr, nullptr);
        else
          Notify(NOTIFY_CONFIGNOTFOUND, config.Text(), nullptr, nullptr);
      }
    }
    if (index == 0) {
      if (const char* path = m_variables.FindValue("PATH")) SetEnvironmentVariableA("PATH", path);
      m_interactive = true;
      if (m_config.IsEmpty() && !CommandLineNamesConfig()) {
        // Without an INI file beside the program: the first one along the
        // search path, else the registry.
        CPATH ini;
        ini.Join2(m_appName.Text(), ".INI");
        if (ini.SearchPath(nullptr) && ini.GetFullPathName()) m_config.Set(ini.Text());
      }
    }
    return true;
  }
  const char* text = word->Text();
  const char* value = nullptr;
  // A CONFIG value the base refused (no full path) is refused here too.
  if (MatchSwitch(text, "CONFIG", nullptr)) return false;
  if (MatchSwitch(text, "SENDTYPE", &value)) {
    if (StrICmp(value, "MORVANE", 0) == 0)
      m_sendType = SENDTYPE_MORVANE;
    else if (StrICmp(value, "GATEWAY", 0) == 0)
      m_sendType = SENDTYPE_GATEWAY;
    else if (StrICmp(value, "REGISTER", 0) == 0)
      m_sendType = SENDTYPE_REGISTER;
    else
      return false;
    return true;
  }
  struct TYPEDFILE {
    const char* key;
    DWORD type;
  };
  static const TYPEDFILE kTypedFiles[] = {{"MORVANE", SENDTYPE_MORVANE},
                                          {"GATEWAY", SENDTYPE_GATEWAY},
                                          {"REGISTER", SENDTYPE_REGISTER},
                                          {"REG", SENDTYPE_REGISTER}};
  for (const TYPEDFILE& typed : kTypedFiles) {
    if (!MatchSwitch(text, typed.key, &value)) continue;
    m_sendType = typed.type;
    CPATH file(value);
    if (file.GetFullPathName()) m_inputFile.Set(file.Text());
    return true;
  }
  static const char* const kListKeys[] = {"GROUP", "DIST", "LIST"};
  for (const char* key : kListKeys) {
    if (!MatchSwitch(text, key, &value)) continue;
    m_sendType = SENDTYPE_GROUPDATA;
    m_listName.Assign(value);
    return true;
  }
  // A bare word: a file to send, a directory to send from, or nothing.
  m_bareWordSeen = true;
  CPATH path(text);
  path.GetFullPathName();
  if (path.IsFile()) {
    m_inputFile.Set(path.Text());
  } else if (path.IsDirectory()) {
    m_inputDirectory.Set(path.Text());
  } else {
    m_rejectedArgument.Assign(text);
    DWORD attributes = GetFileAttributesA(path.Text());
    m_notRegular = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Initialisation

// A directory key: made a full path and created; false (default applies)
// when it is missing or cannot be made.
bool SendClient::ReadDirectory(CCONFIG* config, const char* key, CPATH* destination) {
  return GetConfigPath(false, config, key, destination);
}

bool SendClient::MakeJobDirectory() {
  // Claimed with an exclusive create, so concurrent runs on one WorkingPath
  // never share a job directory.
  CPATH base(m_jobDirectory.Text());
  if (!base.IsDirectory() && !base.CreateDirectory()) return false;
  CTEXTBUF16 number;
  for (DWORD n = 0; n < kJobDirectoryLimit; ++n) {
    CPATH candidate;
    candidate.SetDirAndName(base.Text(), number.SetNumber(n, 1, 10));
    if (CreateDirectoryA(candidate.Text(), nullptr)) {
      // Marked as this run's for as long as it lives.
      if (!m_runLock.Claim(candidate.Text())) {
        DWORD error = GetLastError();
        RemoveDirectoryA(candidate.Text());
        SetLastError(error);
        return candidate.m_error.Report("CreateDirectory", candidate.Text());
      }
      m_jobDirectory.Set(candidate.Text());
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return candidate.m_error.Report("CreateDirectory", candidate.Text());
  }
  SetLastError(ERROR_ALREADY_EXISTS);
  m_jobDirectory.Empty();
  return base.m_error.Report("CreateDirectory", base.Text());
}

bool SendClient::Initialise(CCONFIG* config) {
  SetExitCode(1);
  GetConfigBool(false, config, "Interactive", &m_interactive);
  // Again here, so the configuration's overrides (loaded next) win.
  RegisterTexts();

  if (!CXXAPP::Initialise(config)) return false;
  if (!m_rejectedArgument.IsEmpty()) {
    if (m_notRegular) {
      CPATH path(m_rejectedArgument.Text());
      path.GetFullPathName();
      Notify(NOTIFY_NOTREGULARFILE, path.Text(), nullptr, nullptr);
    } else {
      Notify(NOTIFY_INVALIDARGUMENT, m_rejectedArgument.Text(), nullptr, nullptr);
    }
    return false;
  }

  CPATH working;
  if (!ReadDirectory(config, "WorkingPath", &working) && !working.SetTempDirectory()) return false;
  if (!ReadDirectory(config, "WorkingPathI", &m_inputPath)) {
    m_inputPath.SetDirAndName(working.Text(), "I");
    if (!m_inputPath.CreateDirectory()) return false;
  }
  if (!ReadDirectory(config, "WorkingPathX", &m_failedPath)) {
    m_failedPath.SetDirAndName(working.Text(), "X");
    if (!m_failedPath.CreateDirectory()) return false;
  }
  m_jobDirectory.Set(working.Text());
  if (!MakeJobDirectory()) {
    m_jobDirectory.Empty();
    return false;
  }
  // What runs that were killed left: their requests back where a resend
  // finds them, their folders removed.
  RecoverLeftRuns(working);

  // KeepFilesPath: remembered when it is set but cannot be made, so that
  // what should be kept goes to WorkingPathX rather than being deleted.
  CPATH keep;
  if (GetConfigString(false, config, "KeepFilesPath", &keep)) {
    if (keep.GetFullPathName() && keep.CreateDirectory())
      m_keepPath.Set(keep.Text());
    else
      m_keepPathFailed = true;
  }
  GetConfigBool(false, config, "KeepFiles", &m_keepFiles);
  if (m_keepFiles && m_keepPath.IsEmpty() && !m_keepPathFailed) {
    // Keeping files without a place for them: <WorkingPath>/K, made like
    // I and X.
    m_keepPath.SetDirAndName(working.Text(), "K");
    if (!m_keepPath.CreateDirectory()) return false;
  }
  ReadDirectory(config, "AttachPath", &m_attachPath);
  GetConfigBool(false, config, "ExternalAttachments", &m_externalAttachments);
  GetConfigBool(false, config, "CompressAttachments", &m_compressSections);
  GetConfigUInt(false, config, "EncodeAttachments", &m_sectionEncoding);
  GetConfigBool(false, config, "CompressFile", &m_compressJob);
  GetConfigUInt(false, config, "EncodeFile", &m_jobEncoding);
  GetConfigString(false, config, "InputFileMask", &m_inputFileMask);
  GetConfigString(false, config, "IdentityToken", &m_identityToken);

  // An encoding the job file does not know would give sections or a
  // wrapper without a body: refused before anything is sent.
  CTEXTBUF16 number;
  if (m_sectionEncoding > ENCODING_64) {
    Notify(NOTIFY_CONFIGINVALIDENTRY, config->SectionName(), "EncodeAttachments",
           number.SetNumber(m_sectionEncoding, 1, 10));
    return false;
  }
  if (m_jobEncoding > ENCODING_64) {
    Notify(NOTIFY_CONFIGINVALIDENTRY, config->SectionName(), "EncodeFile", number.SetNumber(m_jobEncoding, 1, 10));
    return false;
  }
  if (m_sendType > SENDTYPE_GROUPDATA) {
    Notify(NOTIFY_INVALIDARGUMENT, "SENDTYPE", number.SetNumber(m_sendType, 1, 10), nullptr);
    return false;
  }

  if (!m_module.Initialize(config)) return false;
  if (!m_inputFile.IsEmpty() || !m_inputDirectory.IsEmpty()) return true;

  // Configure mode: the module's dialog, then the end of the run.
  m_module.Configure(config);
  SetExitCode(0);
  return false;
}

// ---------------------------------------------------------------------------
// Run and shut-down

// The exit code is 0 only when every input of the run was taken by the
// module.
void SendClient::Run() {
  SetExitCode(1);
  if (!m_inputFile.IsEmpty()) {
    m_inputDirectory.Set(m_inputFile.Text());
    m_inputDirectory.CutLastPart();
    BuildAndSendJob();
    if (m_sent) SetExitCode(0);
    return;
  }
  if (m_inputDirectory.IsEmpty()) return;
  CFINDFILE find;
  find.Start(m_inputDirectory.Text(), m_inputFileMask.Text());
  CTEXT path;
  DWORD files = 0;
  bool allSent = true;
  while (find.Next(&path)) {
    ++files;
    m_inputFile.Set(path.Text());
    BuildAndSendJob();
    allSent = allSent && m_sent;
  }
  if (files == 0) {
    Notify(NOTIFY_NOINPUT, m_inputDirectory.Text(), m_inputFileMask.Text(), nullptr);
    return;
  }
  if (allSent) SetExitCode(0);
}

void SendClient::Shutdown() {
  m_module.Terminate();
  if (!m_jobDirectory.IsEmpty()) {
    ClearRecord();
    m_runLock.Release(true);
    m_jobDirectory.RemoveDirectory();
  }
}

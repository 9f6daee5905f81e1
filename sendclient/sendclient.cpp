// mvncsend: switches, configuration, working directories, the run and the
// shut-down of the send client.
#include "sendclient/sendclient.h"

#include "lib/encode.h"
#include "lib/notify.h"

namespace {

NOTIFYDEF s_sendClientTable[] = {
    {NOTIFY_SENDFILEERROR, "NOTIFY_SENDFILEERROR", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};
MVN_STATIC_OBJECT(CNOTIFYSOURCE, s_sourceSendClient, "SendClient", s_sendClientTable);

// Job directories numbered from 0 are tried up to this number.
constexpr DWORD kJobDirectoryLimit = 100000;

}  // namespace

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
      m_jobIncomplete(false) {
  m_inputFileMask.Assign("*.*");
}

// ---------------------------------------------------------------------------
// Notifications

void SendClient::Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1,
                        const char* p2, const char* p3) {
  if (!m_interactive) return;
  // The box holds the run until the user closes it.
  NotifyDisplay(m_appName.Text(), context, expander, reserved, id, p1, p2, p3);
}

void SendClient::Notify(DWORD id, const char* p1, const char* p2, const char* p3) {
  Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
}

// ---------------------------------------------------------------------------
// Command line

bool SendClient::ProcessArgument(DWORD index, CTEXT* word) {
  if (CXXAPP::ProcessArgument(index, word)) {
    if (index == 0) {
      if (const char* path = m_variables.FindValue("PATH")) SetEnvironmentVariableA("PATH", path);
      m_interactive = true;
      if (m_config.IsEmpty()) {
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
  if (path.IsFile())
    m_inputFile.Set(path.Text());
  else if (path.IsDirectory())
    m_inputDirectory.Set(path.Text());
  else
    m_rejectedArgument.Assign(text);
  return true;
}

// ---------------------------------------------------------------------------
// Initialisation

// A directory key: made a full path and created; false (default applies)
// when it is missing or cannot be made.
bool SendClient::read_directory(CCONFIG* config, const char* key, CPATH* destination) {
  return GetConfigPath(false, config, key, destination);
}

bool SendClient::make_job_directory() {
  // Claimed with an exclusive create, so concurrent runs on one WorkingPath
  // never share a job directory.
  CPATH base(m_jobDirectory.Text());
  if (!base.IsDirectory() && !base.CreateDirectory()) return false;
  CTEXTBUF16 number;
  for (DWORD n = 0; n < kJobDirectoryLimit; ++n) {
    CPATH candidate;
    candidate.SetDirAndName(base.Text(), number.SetNumber(n, 1, 10));
    if (CreateDirectoryA(candidate.Text(), nullptr)) {
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

  NotifySetDefault(NOTIFY_APPSTARTUP, "NL", 9, "App Startup");
  NotifySetDefault(NOTIFY_APPSHUTDOWN, "NL", 9, "App Shutdown");
  NotifySetDefault(NOTIFY_SENDFILEERROR, "NL", 1, "Error - unable to deliver your message\n<%1>");
  NotifySetDefault(NOTIFY_DELIVERY_INITIALIZE, "NL", 9, "INITIALIZE");
  NotifySetDefault(NOTIFY_DELIVERY_TERMINATE, "NL", 9, "TERMINATE");
  NotifySetDefault(NOTIFY_DELIVERY_CONFIGURE, "NL", 9, "CONFIGURE");
  NotifySetDefault(NOTIFY_DELIVERY_SENDFILE, "NL", 9, "SENDFILE");

  if (!CXXAPP::Initialise(config)) return false;
  if (!m_rejectedArgument.IsEmpty()) {
    Notify(NOTIFY_INVALIDARGUMENT, m_rejectedArgument.Text(), nullptr, nullptr);
    return false;
  }

  CPATH working;
  if (!read_directory(config, "WorkingPath", &working) && !working.SetTempDirectory()) return false;
  if (!read_directory(config, "WorkingPathI", &m_inputPath)) {
    m_inputPath.SetDirAndName(working.Text(), "I");
    if (!m_inputPath.CreateDirectory()) return false;
  }
  if (!read_directory(config, "WorkingPathX", &m_failedPath)) {
    m_failedPath.SetDirAndName(working.Text(), "X");
    if (!m_failedPath.CreateDirectory()) return false;
  }
  m_jobDirectory.Set(working.Text());
  if (!make_job_directory()) {
    m_jobDirectory.Empty();
    return false;
  }

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
  read_directory(config, "AttachPath", &m_attachPath);
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

void SendClient::Run() {
  if (!m_inputFile.IsEmpty()) {
    m_inputDirectory.Set(m_inputFile.Text());
    m_inputDirectory.CutLastPart();
    if (!build_and_send_job()) SetExitCode(1);
    return;
  }
  if (m_inputDirectory.IsEmpty()) return;
  CFINDFILE find;
  find.Start(m_inputDirectory.Text(), m_inputFileMask.Text());
  CTEXT path;
  while (find.Next(&path)) {
    m_inputFile.Set(path.Text());
    build_and_send_job();
  }
}

void SendClient::Shutdown() {
  m_module.Terminate();
  if (!m_jobDirectory.IsEmpty()) m_jobDirectory.RemoveDirectory();
}

// The local delivery module.
#include "delivery/local/localmodule.h"

#include "lib/bufferedfile.h"
#include "lib/checkedwriter.h"
#include "lib/encode.h"
#include "platform/kernel/regularfile.h"

MVN_STATIC_OBJECT(LocalOptionsPage, g_localOptionsPage);

namespace {

constexpr DWORD kEditStyle = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

constexpr DialogControl kLocalControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "Output Location :", 15, 18, 62, 8, 0},
    {IDC_OUTPUT_LOCATION, DialogControlKind::Edit, "", 80, 16, 118, 12, kEditStyle},
};

constexpr DWORD kOpenForReading = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool StartsWithShareMarker(const char* location) {
  return location && ((location[0] == '\\' && location[1] == '\\') || (location[0] == '/' && location[1] == '/'));
}

// Opens a new, hidden partial file in the directory: the frame is written
// there and gets its "MVN" name only once it is complete.
bool OpenPartial(const char* directory, CBUFFEREDWRITER* writer) {
  DWORD start = (GetTickCount() ^ (GetCurrentProcessId() << 4)) & 0xFFFF;
  for (DWORD i = 0; i < 0x10000; ++i) {
    DWORD number = (start + i) & 0xFFFF;
    CTEXTBUF32 name;
    name.SetNumber(number, 4, 16);
    CPATH path;
    path.SetDirAndName(directory, ".MVN");
    path.Append(name.Text());
    path.Append(".part");
    writer->Set(path.Text());
    if (writer->Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
      return true;
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  writer->Set("");
  return false;
}

// Gives the complete frame its new unique name "MVN<hex>.TMP" without ever
// replacing a file.
bool PlaceFrame(const char* partial, const char* directory) {
  DWORD start = (GetTickCount() ^ (GetCurrentProcessId() << 8)) & 0xFFFF;
  for (DWORD i = 0; i < 0x10000; ++i) {
    UINT number = (start + i) & 0xFFFF;
    if (number == 0) continue;
    char name[MAX_PATH + 16];
    if (!GetTempFileNameA(directory, "MVN", number, name)) return false;
    if (MoveFileExA(partial, name, 0)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Header lines, the job file, the end line; true only when every byte went
// out and the target was closed cleanly. Values are written as they are,
// never through the formatter, so a long one is written whole.
bool WriteFrame(const LOCALRECORD* record, const char* jobFile, CBUFFEREDWRITER* writer, DWORD* error) {
  mvn::CheckedWriter out(writer);
  out.Line("!MVN::MVN");
  out.Text("SENDER-DEFAULTS=");
  out.Line(record->m_senderDefaults ? "yes" : "no");
  out.Line("SENDER-TYPE=LOCAL");
  if (!record->m_yourName.IsEmpty()) {
    out.Text("SENDER-NAME=");
    out.Line(record->m_yourName.Text());
  }
  if (!record->m_yourEmail.IsEmpty()) {
    out.Text("SENDER-ADDRESS=");
    out.Line(record->m_yourEmail.Text());
  }
  out.Flush();
  if (out.Ok()) {
    CFILE job(jobFile);
    if (job.Open(GENERIC_READ, kOpenForReading, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
      out.Check(CopyStream(&job, writer));
    else
      out.Fail(GetLastError());
    job.Close();
  }
  out.Line("!MVN-END");
  bool written = out.Close();
  *error = out.Error();
  return written;
}

}  // namespace

DialogTemplate LocalOptionsTemplate() {
  return {IDD_TRANSPORT,    "Local Delivery Options", 212, 108, "MS Sans Serif", 8, 0, kLocalControls,
          static_cast<UINT>(sizeof kLocalControls / sizeof kLocalControls[0])};
}

INT_PTR LocalOptionsPage::OnMessage(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) SetDlgItemTextFrom(window, IDC_OUTPUT_LOCATION, &m_location);
  return 0;
}

bool LocalOptionsPage::IsChange(WORD controlId, WORD notificationCode) {
  return controlId == IDC_OUTPUT_LOCATION && notificationCode == EN_CHANGE;
}

bool LocalOptionsPage::Apply(HWND window) {
  GetDlgItemTextInto(window, IDC_OUTPUT_LOCATION, &m_location);
  return CPROPERTYPAGE::Apply(window);
}

bool LocalOptionsPage::Validate(HWND window) {
  CPATH scratch;
  GetDlgItemTextInto(window, IDC_OUTPUT_LOCATION, &scratch);
  if (scratch.IsEmpty()) return true;
  if (mvn::delivery::local::IsExistingFileTarget(scratch.Text())) return true;
  if (scratch.CreateDirectory()) return true;
  SetFocus(GetDlgItem(window, IDC_OUTPUT_LOCATION));
  return false;
}

namespace mvn::delivery::local {

LocalOptionsPage* OptionsPage() { return g_localOptionsPage.Get(); }

bool IsExistingFileTarget(const char* location) {
  if (!StartsWithShareMarker(location)) return false;
  HANDLE file = mvn::kernel::OpenRegularFile(location, GENERIC_READ, kOpenForReading, false, mvn::kernel::FinalLink::Refuse);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

LOCALRECORD* Initialize(CCONFIG* config) {
  LOCALRECORD* record = mvn::delivery::NewRecord<LOCALRECORD>();
  if (config) {
    mvn::delivery::ReadHeadSettings(config, record);
    config->GetString("OutputLocation", &record->m_outputLocation);
    mvn::delivery::ReadSenderDefaults(config, &record->m_senderDefaults);
  } else {
    mvn::delivery::SetDefaultDialogTitle(record);
  }
  return record;
}

bool Configure(LOCALRECORD* record, CCONFIG* config) {
  if (!record || !config) return false;
  mvn::delivery::LoadIdentityPage(record);
  LocalOptionsPage* page = OptionsPage();
  page->m_location.Set(record->m_outputLocation.Text());
  if (!mvn::delivery::ShowSheet(record, page, LocalOptionsTemplate())) return false;
  mvn::delivery::WriteIdentitySettings(config);
  config->PutString("OutputLocation", page->m_location.Text());
  return true;
}

bool SendFile(LOCALRECORD* record, const char* jobFile) {
  if (!record || !jobFile) return false;
  record->m_lastResult.Empty();
  if (record->m_outputLocation.IsEmpty())
    return mvn::delivery::SetFailure(&record->m_lastResult, "OutputLocation is not set: no folder to deliver into",
                                     nullptr, ERROR_SUCCESS);
  // A name or address holding a line break would add lines of its own to
  // the frame: nothing is written.
  if (!mvn::delivery::CheckIdentityLines(record, &record->m_lastResult)) return false;
  const char* location = record->m_outputLocation.Text();
  CBUFFEREDWRITER writer;

  if (StartsWithShareMarker(location)) {
    // The existing file is overwritten in place, as the server reads it,
    // through the one descriptor that was checked to be a regular file: a
    // link planted there is not followed and a FIFO cannot block.
    HANDLE file = mvn::kernel::OpenRegularFile(location, GENERIC_READ | GENERIC_WRITE, 0, true,
                                               mvn::kernel::FinalLink::Refuse);
    if (file != INVALID_HANDLE_VALUE) {
      writer.Set(location);
      writer.m_handle = file;
      DWORD error = ERROR_SUCCESS;
      if (WriteFrame(record, jobFile, &writer, &error)) return true;
      mvn::delivery::SetFailure(&record->m_lastResult, "cannot write the frame into", location, error);
      // No half frame stays behind for the server to read; the file is
      // emptied through an open as careful as the first.
      HANDLE again = mvn::kernel::OpenRegularFile(location, GENERIC_WRITE, kOpenForReading, true,
                                                  mvn::kernel::FinalLink::Refuse);
      if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
      return false;
    }
    // Anything else is taken as a directory, as the location's text says
    // when no file is there; the location itself is never opened then, and
    // a link to a file, a FIFO or a device is no directory: the send fails
    // untouched.
  }

  CPATH directory(location);
  if (!directory.CreateDirectory()) {
    // A folder is made only below a folder the location names, so a bare
    // name ("rel") that is no existing folder cannot be made: say so rather
    // than the system's "not found".
    if (!StrChr(location, '/') && !StrChr(location, '\\')) {
      mvn::delivery::SetFailure(&record->m_lastResult, "cannot create the output folder", location, ERROR_SUCCESS);
      record->m_lastResult.Append2(": the location needs a folder part, such as ./", location);
      return false;
    }
    return mvn::delivery::SetFailure(&record->m_lastResult, "cannot create the output folder", location,
                                     GetLastError());
  }
  if (!OpenPartial(directory.Text(), &writer))
    return mvn::delivery::SetFailure(&record->m_lastResult, "cannot create a file in the output folder",
                                     directory.Text(), GetLastError());
  CPATH partial(writer.Text());
  DWORD error = ERROR_SUCCESS;
  if (!WriteFrame(record, jobFile, &writer, &error))
    mvn::delivery::SetFailure(&record->m_lastResult, "cannot write the frame into the output folder",
                              directory.Text(), error);
  else if (PlaceFrame(partial.Text(), directory.Text()))
    return true;
  else
    mvn::delivery::SetFailure(&record->m_lastResult, "cannot name the frame in the output folder",
                              directory.Text(), GetLastError());
  writer.Close();
  DeleteFileA(partial.Text());
  return false;
}

int Terminate(LOCALRECORD* record) {
  mvn::delivery::DeleteRecord(record);
  return 0;
}

const char* GetLastResult(LOCALRECORD* record) {
  return record && !record->m_lastResult.IsEmpty() ? record->m_lastResult.Text() : nullptr;
}

}  // namespace mvn::delivery::local

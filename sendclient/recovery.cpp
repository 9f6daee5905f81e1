// What a run leaves should it be killed, and what the next run does with
// it.
//
// Each run holds the lock of its job folder (runlock.h) and, while a job is
// under way, keeps a record beside it ("run.state"): the request's own path,
// the name it was given in WorkingPathI, the file it is (volume and index)
// and how far the job got. The record is written before the request is
// moved and replaced whole at each step, so it always tells where the
// request is. At start each run looks at the job folders of WorkingPath:
// one whose lock is free was left by a run that is gone. Its request is put
// back where a resend finds it (its own folder when the name is free, else
// WorkingPathX), one message names it and says how far it got, and the
// folder with its job files is removed.
#include <string>
#include <vector>

#include "lib/notify.h"
#include "platform/kernel/regularfile.h"
#include "sendclient/sendclient.h"

namespace {

constexpr const char kRecordName[] = "run.state";
constexpr const char kRecordNewName[] = "run.state.new";
// A record is a few lines; anything longer is no record of ours.
constexpr DWORD kRecordLimit = 65536;

// Values are kept one a line: a line end or "%" in a path is written as
// "%0A", "%0D", "%25".
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%')
      out += "%25";
    else if (c == '\n')
      out += "%0A";
    else if (c == '\r')
      out += "%0D";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string code = text.substr(i + 1, 2);
      if (code == "25" || code == "0A" || code == "0D") {
        out += code == "25" ? '%' : code == "0A" ? '\n' : '\r';
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string Join(const char* folder, const char* name) { return std::string(folder) + "/" + name; }

// The record's lines as NAME=value pairs; false when it cannot be read.
bool ReadRecord(const std::string& path, std::string* phase, std::string* request, std::string* moved,
                DWORD* volume, ULONGLONG* index) {
  HANDLE file = mvn::kernel::OpenRegularFileForReading(path.c_str(), FILE_SHARE_READ);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string text(kRecordLimit, '\0');
  DWORD got = 0;
  const bool read = ReadFile(file, text.data(), kRecordLimit, &got, nullptr);
  CloseHandle(file);
  if (!read || got == 0 || got >= kRecordLimit) return false;
  text.resize(got);
  bool haveFile = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = Unescape(line.substr(equals + 1));
    if (key == "phase") {
      *phase = value;
    } else if (key == "request") {
      *request = value;
    } else if (key == "moved") {
      *moved = value;
    } else if (key == "file") {
      const std::size_t comma = value.find(',');
      if (comma == std::string::npos) continue;
      *volume = static_cast<DWORD>(StrToUInt64(value.substr(0, comma).c_str()));
      *index = StrToUInt64(value.substr(comma + 1).c_str());
      haveFile = true;
    }
  }
  return haveFile && !request->empty() && !moved->empty();
}

bool IsEmptyFile(const std::string& path) {
  HANDLE file = mvn::kernel::OpenRegularFileForReading(path.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  CloseHandle(file);
  return low == 0 && high == 0;
}

bool AllDigits(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

}  // namespace

bool SendClient::WriteRecord(const char* phase) {
  const std::string folder = m_jobDirectory.Text();
  const std::string fresh = Join(folder.c_str(), kRecordNewName);
  CTEXTBUF16 pid, volume;
  std::string text = std::string("pid=") + pid.SetNumber(GetCurrentProcessId(), 1, 10) + "\nphase=" + phase +
                     "\nrequest=" + Escape(m_record.request) + "\nmoved=" + Escape(m_record.moved) +
                     "\nfile=" + volume.SetNumber(m_record.volume, 1, 10) + ",";
  text += std::to_string(m_record.index) + "\n";
  HANDLE file = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (ok) {
    ok = MoveFileExA(fresh.c_str(), Join(folder.c_str(), kRecordName).c_str(), MOVEFILE_REPLACE_EXISTING);
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileA(fresh.c_str());
    SetLastError(error);
  }
  return ok;
}

void SendClient::ClearRecord() {
  if (m_jobDirectory.IsEmpty()) return;
  DeleteFileA(Join(m_jobDirectory.Text(), kRecordName).c_str());
  m_record = RECORD();
}

bool SendClient::MoveIntoInputPath(CPATH* input, CFILE* reader) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(reader->Handle(), &information))
    return input->m_error.Report("MoveToUnique", "MoveFileEx");
  // The name in WorkingPathI is taken first (the request's own name, else a
  // new unique one), so the record can name it before the move.
  CPATH target;
  target.SetDirAndName(m_inputPath.Text(), input->GetName());
  HANDLE reserved = CreateFileA(target.Text(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (reserved != INVALID_HANDLE_VALUE) {
    CloseHandle(reserved);
  } else {
    DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !target.SetTempFileName(m_inputPath.Text()))
      return input->m_error.Report("MoveToUnique", "MoveFileEx");
  }
  m_record.request = input->Text();
  m_record.moved = target.Text();
  m_record.volume = information.dwVolumeSerialNumber;
  m_record.index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  if (!WriteRecord("building")) {
    // Without a record a killed run would leave the request unfound: the
    // job is not started, the request stays where it is.
    CTEXT text;
    CWIN32ERROR::GetSystemText(GetLastError(), &text);
    DWORD length = text.Length();
    while (length > 0 && text.Buffer()[length - 1] == ' ') text.Buffer()[--length] = '\0';
    target.DeleteFile();
    m_record = RECORD();
    Notify(NOTIFY_JOBNOTCREATED, m_jobDirectory.Text(), text.Text(), input->Text());
    return false;
  }
  if (!MoveFileExA(input->Text(), target.Text(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    DWORD error = GetLastError();
    target.DeleteFile();
    ClearRecord();
    SetLastError(error);
    return input->m_error.Report("MoveToUnique", "MoveFileEx");
  }
  input->Set(target.Text());
  return true;
}

void SendClient::RecoverLeftRuns(const CPATH& working) {
  CPATH mask;
  mask.SetDirAndName(working.Text(), "*");
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(mask.Text(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> folders;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !AllDigits(found.cFileName)) continue;
    CPATH folder;
    folder.SetDirAndName(working.Text(), found.cFileName);
    if (StrCmp(folder.Text(), m_jobDirectory.Text(), 0) != 0) folders.emplace_back(folder.Text());
  } while (FindNextFileA(find, &found));
  FindClose(find);
  for (const std::string& folder : folders) {
    mvn::sendclient::RunLock lock;
    DWORD pid = 0;
    if (lock.Inspect(folder.c_str(), &pid) != mvn::sendclient::RunLock::State::Left) continue;
    RecoverFolder(folder.c_str(), pid);
    // The folder's files are gone; its lock goes last, while it is held.
    lock.Release(true);
    RemoveDirectoryA(folder.c_str());
  }
}

void SendClient::RecoverFolder(const char* folder, DWORD pid) {
  std::string phase, request, moved;
  DWORD volume = 0;
  ULONGLONG index = 0;
  if (ReadRecord(Join(folder, kRecordName), &phase, &request, &moved, &volume, &index)) {
    auto is = [&](const std::string& path) {
      DWORD v = 0;
      ULONGLONG i = 0;
      return mvn::sendclient::FileIdentity(path.c_str(), &v, &i) && v == volume && i == index;
    };
    CTEXTBUF16 number;
    number.SetNumber(pid, 1, 10);
    std::string what = std::string("the run that sent it (process ") + number.Text() + ") ended ";
    if (phase == "sending")
      what += "while the delivery module had it, so it may have been delivered: check before sending it again";
    else if (phase == "sent")
      what += "after it was sent";
    else
      what += "before it was handed on, so it was not sent";
    std::string where;
    if (is(request)) {
      // It was never moved: only the name taken for it in WorkingPathI
      // goes, and only while it is the empty file taken (a name given up
      // may have been taken by another run since).
      if (!is(moved) && IsEmptyFile(moved)) DeleteFileA(moved.c_str());
      where = "Its request is still at " + request;
    } else if (is(moved)) {
      CPATH input(moved.c_str());
      KeepInput(&input, request.c_str(), nullptr);
      where = std::string("Its request is kept as ") + input.Text();
    } else {
      // Not the file the run took (copied across file systems, or the
      // name given to another): left where it is, for the user to judge.
      where = "Its request was found neither at " + request + " nor at " + moved;
    }
    Notify(NOTIFY_RUNLEFT, request.c_str(), what.c_str(), where.c_str());
  }
  // The job files of the run (job, compressed job, wrapper, record).
  CPATH mask;
  mask.SetDirAndName(folder, "*");
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(mask.Text(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (StrCmp(found.cFileName, mvn::sendclient::kRunLockName, 0) == 0) continue;
    files.push_back(Join(folder, found.cFileName));
  } while (FindNextFileA(find, &found));
  FindClose(find);
  for (const std::string& file : files) DeleteFileA(file.c_str());
}

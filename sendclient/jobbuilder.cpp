// The job builder: turns one input file into a job file, hands it to the
// delivery module and disposes of the input, its attachments and the job.
//
// Job file: "!MVN::MVN", "SENDER-TIME=%08x", the optional identity token
// ("!IDENTITYTOKEN,0,2", the stored token after a blank,
// "!IDENTITYTOKEN-END"), the body, "!MVN-END". Sections are "!NAME,c,e"
// (or "!NAME,c,e,NAME:display"), the body in encoding e (compressed when c
// is 1) and "!NAME-END". With CompressFile or a non-zero EncodeFile the
// module gets a gateway wrapper around the (compressed) job instead:
// "!MVN::MVN", "!GATEWAY,c,e", the body, "!GATEWAY-END", "!MVN-END".
//
// Nothing is lost on the way: a job that cannot be finished or sent ends in
// WorkingPathX with one notification saying why and where its files are;
// its input is kept (back where it came from, or beside the job) and its
// attachments stay where they were. Inputs, attachments and configuration
// files must be regular files: a FIFO, socket or device is refused before it
// is read, moved or deleted. A failed read is never taken for the end of a
// file.
#include "lib/encode.h"
#include "lib/notify.h"
#include "lib/stringlist.h"
#include "platform/kernel/regularfile.h"
#include "sendclient/lzssfile.h"
#include "sendclient/sendclient.h"

namespace mvn::sendclient {

namespace {

// Request-file lines are read in pieces of at most this many characters.
constexpr DWORD kLineLimit = 65535;
// Seconds between 1601-01-01 and 1970-01-01, as the clock arithmetic adds
// it modulo 2^32.
constexpr DWORD kEpochDifference = 0x49EF6F00u;
constexpr ULONGLONG kIntervalsPerSecond = 10000000ull;
constexpr ULONGLONG kSeconds1601To1970 = 11644473600ull;

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
LONGLONG DaysFromCivil(LONGLONG year, unsigned month, unsigned day) {
  year -= month <= 2;
  const LONGLONG era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

// The system clock as 100-nanosecond intervals since 1601-01-01 UTC.
ULONGLONG SystemIntervals() {
  char fixed[32];
  DWORD n = GetEnvironmentVariableA("MVN_SENDER_TIME", fixed, sizeof fixed);
  if (n > 0 && n < sizeof fixed) {
    return (StrToUInt64(fixed) + kSeconds1601To1970) * kIntervalsPerSecond;
  }
  SYSTEMTIME now;
  GetSystemTime(&now);
  const LONGLONG days = DaysFromCivil(now.wYear, now.wMonth, now.wDay);
  const LONGLONG seconds = days * 86400 + now.wHour * 3600 + now.wMinute * 60 + now.wSecond;
  return (static_cast<ULONGLONG>(seconds) + kSeconds1601To1970) * kIntervalsPerSecond +
         static_cast<ULONGLONG>(now.wMilliseconds) * 10000u;
}

}  // namespace

DWORD SenderTimeFromFileTime(ULONGLONG intervals) {
  return static_cast<DWORD>(intervals / kIntervalsPerSecond) + kEpochDifference;
}

DWORD SenderTime() { return SenderTimeFromFileTime(SystemIntervals()); }

namespace {

// Inputs and attachments may be moved while they are open.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Files this run made itself (job, compressed job, wrapper).
bool OpenForReading(CFILE* file) {
  return file->Open(GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// The system's text for an error, without the blank the reporter puts
// after each line.
void SystemText(DWORD error, CTEXT* text) {
  if (!CWIN32ERROR::GetSystemText(error, text) || text->IsEmpty()) {
    CTEXTBUF16 number;
    text->Join2("system error ", number.SetNumber(error, 1, 10));
    return;
  }
  DWORD length = text->Length();
  while (length > 0 && text->Buffer()[length - 1] == ' ') text->Buffer()[--length] = '\0';
}

// Why an input or attachment could not be opened.
const char* OpenFailure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "cannot be found";
    case ERROR_BAD_FILE_TYPE:
      return "is not a regular file";
    default:
      return "cannot be opened";
  }
}

// "!NAME,c,e" or "!NAME,c,e,NAME:display": built as a text, so a display
// name of any length is written whole.
void SectionHeader(CTEXT* header, const char* name, bool compressed, DWORD encoding, const char* displayName) {
  CTEXTBUF16 number;
  header->Join3("!", name, compressed ? ",1," : ",0,");
  header->Append(number.SetNumber(encoding, 1, 10));
  if (displayName && *displayName) header->Append2(",NAME:", displayName);
}

// The body in one of the three encodings; false for any other number.
bool WriteBody(CFILE* source, CBUFFEREDWRITER* target, DWORD encoding) {
  switch (encoding) {
    case ENCODING_RAW:
      return target->FlushBuffer() && CopyStream(source, target);
    case ENCODING_HEX:
      return EncodeStreamHex(source, target);
    case ENCODING_64:
      return EncodeStream64(source, target);
    default:
      return false;
  }
}

}  // namespace

// The regular file a name stands for now (a link followed): its volume and
// index. Opened without blocking, so a FIFO put there is refused unread.
bool FileIdentity(const char* path, DWORD* volume, ULONGLONG* index) {
  HANDLE file = mvn::kernel::OpenRegularFileForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  if (!known) return false;
  *volume = information.dwVolumeSerialNumber;
  *index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return true;
}

namespace {

// Whether nothing exists under the name (so a file can be put back there).
bool NameIsFree(const char* path) {
  return GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

}  // namespace mvn::sendclient

using mvn::sendclient::FileIdentity;
using mvn::sendclient::NameIsFree;
using mvn::sendclient::OpenFailure;
using mvn::sendclient::OpenForReading;
using mvn::sendclient::SectionHeader;
using mvn::sendclient::SenderTime;
using mvn::sendclient::SystemText;
using mvn::sendclient::WriteBody;
using mvn::sendclient::kLineLimit;
using mvn::sendclient::kShareReadWrite;

// ---------------------------------------------------------------------------
// Moving files

bool SendClient::MoveTo(CPATH* file, const CPATH& directory) { return file->MoveToUnique(directory.Text()); }

const CPATH* SendClient::KeepDirectory() const {
  if (!m_keepPath.IsEmpty()) return &m_keepPath;
  if (m_keepPathFailed) return &m_failedPath;
  return nullptr;
}

void SendClient::DisposeOfInput(CPATH* input) {
  const CPATH* keep = m_keepFiles ? KeepDirectory() : nullptr;
  if (keep) {
    MoveTo(input, *keep);
    return;
  }
  input->DeleteFile();
}

void SendClient::DisposeOfAttachments() {
  for (std::size_t i = 0; i < m_embedded.size(); ++i) {
    const EMBEDDED& file = m_embedded[i];
    // The same file named again (by the same or another name) was sent
    // twice but is disposed of once.
    bool seen = false;
    for (std::size_t j = 0; j < i && !seen; ++j)
      seen = m_embedded[j].volume == file.volume && m_embedded[j].index == file.index;
    if (seen) continue;
    // Only the file that was sent: a file that took its name since is
    // not touched.
    DWORD volume = 0;
    ULONGLONG index = 0;
    if (!FileIdentity(file.path.c_str(), &volume, &index) || volume != file.volume || index != file.index) continue;
    CPATH path(file.path.c_str());
    if (const CPATH* keep = KeepDirectory())
      MoveTo(&path, *keep);
    else
      path.DeleteFile();
  }
  m_embedded.clear();
}

void SendClient::KeepInput(CPATH* input, const char* original, const CPATH* jobInX) {
  // Back under its own name, so that a request's relative attachment paths
  // resolve again when it is sent again; never over a file that took the
  // name meanwhile.
  if (original && *original && NameIsFree(original) &&
      MoveFileExA(input->Text(), original, MOVEFILE_COPY_ALLOWED)) {
    input->Set(original);
    return;
  }
  if (jobInX && !jobInX->IsEmpty()) {
    CPATH paired;
    paired.Join2(jobInX->Text(), ".input");
    if (NameIsFree(paired.Text()) && MoveFileExA(input->Text(), paired.Text(), MOVEFILE_COPY_ALLOWED)) {
      input->Set(paired.Text());
      return;
    }
  }
  MoveTo(input, m_failedPath);
}

void SendClient::Fail(const char* what, const char* path, DWORD error) {
  if (!m_failure.IsEmpty()) return;
  m_failure.Assign(what);
  if (path && *path) m_failure.Append2(" ", path);
  if (error != ERROR_SUCCESS) {
    CTEXT text;
    SystemText(error, &text);
    m_failure.Append2(": ", text.Text());
  }
}

// ---------------------------------------------------------------------------
// The job

bool SendClient::BuildAndSendJob() {
  m_sent = false;
  m_refused = false;
  m_failure.Empty();
  m_embedded.clear();
  CPATH original(m_inputFile.Text());

  // Opened before it is moved, and only when it is a regular file: a FIFO,
  // socket or device is left where it is, unread.
  CBUFFEREDREADER reader(original.Text());
  if (!reader.OpenRegular(kShareReadWrite)) {
    DWORD error = GetLastError();
    if (error == ERROR_BAD_FILE_TYPE) {
      Notify(NOTIFY_NOTREGULARFILE, original.Text(), nullptr, nullptr);
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      Notify(NOTIFY_INPUTNOTFOUND, original.Text(), nullptr, nullptr);
    } else {
      CTEXT text;
      SystemText(error, &text);
      Notify(NOTIFY_INPUTUNREADABLE, original.Text(), text.Text(), nullptr);
    }
    return false;
  }

  CPATH input(original.Text());
  // Named by a bare word: failures to move or delete it are not reported.
  if (m_bareWordSeen) input.m_error.m_enabled = 0;
  // The open descriptor follows the file to its new name.
  if (!MoveIntoInputPath(&input, &reader)) return false;
  m_inputFile.Set(input.Text());
  reader.Set(input.Text());

  CPATH jobFile;
  CBUFFEREDWRITER job;
  const bool named = jobFile.SetTempFileName(m_jobDirectory.Text());
  bool created = named;
  if (created) {
    job.Set(jobFile.Text());
    created = job.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }
  if (!created) {
    // Nothing can be built: the input goes back, and the notification says
    // why and where it is.
    DWORD error = GetLastError();
    if (!jobFile.IsEmpty()) jobFile.DeleteFile();
    reader.Close();
    KeepInput(&input, original.Text(), nullptr);
    ClearRecord();
    CTEXT text;
    SystemText(error, &text);
    Notify(NOTIFY_JOBNOTCREATED, m_jobDirectory.Text(), text.Text(), input.Text());
    return false;
  }

  mvn::CheckedWriter out(&job);
  out.Line("!MVN::MVN");
  out.FormatLine("SENDER-TIME=%08lx", SenderTime());
  if (!m_identityToken.IsEmpty()) {
    out.Line("!IDENTITYTOKEN,0,2");
    out.Text(" ");
    out.Line(m_identityToken.Text());
    out.Line("!IDENTITYTOKEN-END");
  }

  bool body = false;
  switch (m_sendType) {
    case SENDTYPE_INPUT:
      body = WriteInputBody(&reader, &out);
      break;
    case SENDTYPE_MORVANE:
      body = WriteSection(&reader, &out, "MORVANE", nullptr, input.Text());
      break;
    case SENDTYPE_GATEWAY:
      body = WriteSection(&reader, &out, "GATEWAY", nullptr, input.Text());
      break;
    case SENDTYPE_REGISTER:
      body = WriteSection(&reader, &out, "REGISTER", nullptr, input.Text());
      break;
    case SENDTYPE_GROUPDATA:
      body = WriteSection(&reader, &out, "GROUPDATA", m_listName.Text(), input.Text());
      break;
    default:
      Fail("the send type is unknown", nullptr, ERROR_SUCCESS);
      body = false;
      break;
  }
  out.Line("!MVN-END");
  // The one check of every write of the job file.
  if (!out.Close()) Fail("writing the job file", jobFile.Text(), out.Error());
  reader.Close();
  body = body && out.Ok();

  if (body && SendJob(&jobFile)) {
    m_sent = true;
    DisposeOfAttachments();
    DisposeOfInput(&input);
    ClearRecord();
    return true;
  }
  // Not sent: the job is in WorkingPathX, the input is kept and the
  // attachments stay where they were.
  if (!body) MoveTo(&jobFile, m_failedPath);
  m_embedded.clear();
  KeepInput(&input, original.Text(), &jobFile);
  ClearRecord();
  if (m_refused) {
    Notify(NOTIFY_SENDFILEERROR, m_failure.Text(), jobFile.Text(), input.Text());
  } else {
    if (m_failure.IsEmpty()) Fail("the job could not be built", nullptr, ERROR_SUCCESS);
    Notify(NOTIFY_JOBKEPT, m_failure.Text(), jobFile.Text(), input.Text());
  }
  return body;
}

bool SendClient::SendJob(CPATH* jobFile) {
  CPATH inner(jobFile->Text());  // the job as built, kept until it is replaced

  // Compression of the whole job: a file that cannot be made leaves the job
  // uncompressed; a write that fails stops the job.
  bool compressed = false;
  CPATH packed;
  if (m_compressJob && packed.SetTempFileName(m_jobDirectory.Text())) {
    bool writeFailed = false;
    if (mvn::sendclient::LzssCompressFile(inner.Text(), packed.Text(), &writeFailed)) {
      compressed = true;
    } else {
      DWORD error = GetLastError();
      packed.DeleteFile();
      packed.Empty();
      if (writeFailed) {
        Fail("compressing the job into", m_jobDirectory.Text(), error);
        MoveTo(&inner, m_failedPath);
        jobFile->Set(inner.Text());
        return false;
      }
    }
  }
  CPATH* payload = compressed ? &packed : &inner;

  // The gateway wrapper around the (compressed) job.
  CPATH wrapper;
  if (m_compressJob || m_jobEncoding != ENCODING_RAW) {
    CBUFFEREDREADER source(payload->Text());
    if (OpenForReading(&source)) {
      bool written = wrapper.SetTempFileName(m_jobDirectory.Text());
      DWORD error = written ? ERROR_SUCCESS : GetLastError();
      if (written) {
        CBUFFEREDWRITER target(wrapper.Text());
        written = target.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
        if (!written) error = GetLastError();
        if (written) {
          mvn::CheckedWriter out(&target);
          out.Line("!MVN::MVN");
          out.FormatLine("!GATEWAY,%d,%lu", compressed ? 1 : 0, m_jobEncoding);
          out.Check(WriteBody(&source, &target, m_jobEncoding));
          out.Line("!GATEWAY-END");
          out.Line("!MVN-END");
          written = out.Close();
          error = out.Error();
        }
      }
      source.Close();
      if (!written) {
        // The job cannot go out as configured: it is kept, as built.
        Fail("writing the gateway wrapper in", m_jobDirectory.Text(), error);
        if (!wrapper.IsEmpty()) wrapper.DeleteFile();
        if (compressed) packed.DeleteFile();
        MoveTo(&inner, m_failedPath);
        jobFile->Set(inner.Text());
        return false;
      }
      payload = &wrapper;
    } else if (compressed) {
      // Compressed data cannot go out without the header that says so.
      Fail("reading the compressed job", packed.Text(), GetLastError());
      packed.DeleteFile();
      MoveTo(&inner, m_failedPath);
      jobFile->Set(inner.Text());
      return false;
    }
  }
  // Only now is the job as built replaced by what goes out.
  if (payload != &inner) inner.DeleteFile();
  if (compressed && payload != &packed) packed.DeleteFile();

  // From here a killed run may have delivered the job; the record says so.
  WriteRecord("sending");
  if (m_module.SendFile(payload->Text())) {
    WriteRecord("sent");
    payload->DeleteFile();
    return true;
  }
  // A failed send never loses the fax: the job is kept as it was handed over.
  const char* result = m_module.GetLastResult();
  m_refused = true;
  m_failure.Assign(result ? result : "");
  MoveTo(payload, m_failedPath);
  jobFile->Set(payload->Text());
  return false;
}

bool SendClient::WriteInputBody(CBUFFEREDREADER* input, mvn::CheckedWriter* job) {
  CTEXT line;
  DWORD length = 0;
  DWORD lines = input->LineCount();
  if (!input->ReadLine(&line, kLineLimit, &length)) {
    if (!input->Failed()) return true;  // an empty input: no body
    Fail("reading", input->Text(), input->ReadError());
    return false;
  }

  if (StrICmp(line.Text(), "!MVN", 4) != 0) {
    // Plain mode: the whole input as one section.
    if (input->Failed()) {
      Fail("reading", input->Text(), input->ReadError());
      return false;
    }
    if (input->SetPos(FILE_BEGIN, 0) == INVALID_FILE_POSITION) {
      Fail("reading", input->Text(), GetLastError());
      return false;
    }
    return WriteSection(input, job, "MORVANE", nullptr, input->Text());
  }

  // Request-file mode: the first line's items, one line each, then every
  // line as it is (by its length, so NUL bytes stay), with the attachment
  // lines embedded. A line longer than the reader's limit comes in pieces:
  // only a piece that starts a line of the input can be a marker, and the
  // pieces of one line are written together as that one line.
  bool continued = input->LineCount() == lines && length == kLineLimit;
  char inlineItems[64];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  DWORD count = items.Split(line.Buffer());
  for (DWORD i = 0; i < count; ++i) {
    if (i + 1 == count && continued)
      job->Text(items.GetItem(i));
    else
      job->Line(items.GetItem(i));
  }

  bool result = true;
  for (;;) {
    lines = input->LineCount();
    if (!input->ReadLine(&line, kLineLimit, &length)) break;
    const bool startsLine = !continued;
    // A piece of the limit's length that ended no line goes on in the next.
    continued = input->LineCount() == lines && length == kLineLimit;
    const char* text = line.Text();
    const bool marker = startsLine && (StrICmp(text, "!EXTATT", 7) == 0 || StrICmp(text, "!EXTERNAL", 9) == 0);
    if (marker && continued) {
      // No path is that long: the line stays in the job, which fails.
      Fail("an attachment line is longer than a request line can be", nullptr, ERROR_SUCCESS);
      result = false;
    } else if (marker) {
      if (!EmbedAttachment(text, input, job)) {
        job->LineBytes(text, length);
        result = false;
      }
      continue;
    }
    if (continued)
      job->Bytes(text, length);
    else
      job->LineBytes(text, length);
  }
  if (continued) job->Eol();
  // The loop ends at the end of the file or at a failed read; only the
  // first is the whole request.
  if (input->Failed()) {
    Fail("reading", input->Text(), input->ReadError());
    return false;
  }
  return result && job->Ok();
}

bool SendClient::EmbedAttachment(const char* line, CBUFFEREDREADER*, mvn::CheckedWriter* job) {
  CTEXT copy;
  copy.Assign(line);
  char inlineItems[64];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  if (items.Split(copy.Buffer()) != 3) {
    Fail("the attachment line is not of the form !ExtAttachment,name,path:", line, ERROR_SUCCESS);
    return false;
  }
  const char* displayName = items.GetItem(1);
  CPATH path(items.GetItem(2));

  if (path.IsRelative()) {
    CPATH beside;
    beside.SetDirAndName(m_inputDirectory.Text(), path.Text());
    if (!beside.IsFile() && !m_attachPath.IsEmpty()) beside.SetDirAndName(m_attachPath.Text(), path.Text());
    path.Set(beside.Text());
  }
  CTEXT what;
  what.Join3("the attachment \"", displayName, "\" (");
  what.Append2(path.Text(), ")");

  // Only a regular file, checked on the open descriptor.
  CBUFFEREDREADER attachment(path.Text());
  if (!attachment.OpenRegular(kShareReadWrite)) {
    DWORD error = GetLastError();
    what.Append2(" ", OpenFailure(error));
    // "cannot be found" and "is not a regular file" say it all.
    const bool plain = error == ERROR_BAD_FILE_TYPE || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    Fail(what.Text(), nullptr, plain ? ERROR_SUCCESS : error);
    return false;
  }

  bool result = WriteSection(&attachment, job, "ATTACHMENT", displayName, what.Text());
  // The file is disposed of only once the job was taken by the module.
  BY_HANDLE_FILE_INFORMATION information;
  const bool identified = GetFileInformationByHandle(attachment.Handle(), &information);
  attachment.Close();
  if (result && identified)
    m_embedded.push_back({path.Text(), information.dwVolumeSerialNumber,
                          (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow});
  return result;
}

bool SendClient::WriteSection(CBUFFEREDREADER* source, mvn::CheckedWriter* job, const char* name,
                              const char* displayName, const char* what) {
  bool result = true;
  bool compressed = false;
  CFILE packed;
  CFILE* body = source;
  if (m_compressSections && packed.SetTempFileName(m_jobDirectory.Text())) {
    if (packed.Open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {
      // The source has been read once compression ran: when it fails, the
      // section cannot fall back to the plain bytes.
      if (mvn::sendclient::LzssCompressStream(source, &packed) &&
          packed.SetPos(FILE_BEGIN, 0) != INVALID_FILE_POSITION) {
        compressed = true;
        body = &packed;
      } else {
        DWORD error = GetLastError();
        if (source->Failed())
          Fail("reading", what, source->ReadError());
        else
          Fail("compressing a section into", packed.Text(), error);
        result = false;
      }
    }
  }

  CTEXTBUF128 header;
  SectionHeader(&header, name, compressed, m_sectionEncoding, displayName);
  job->Line(header.Text());
  if (result && job->Ok()) {
    if (!WriteBody(body, job->File(), m_sectionEncoding)) {
      result = false;
      // A failed read is the source's fault; anything else the job file's.
      if (source->Failed())
        Fail("reading", what, source->ReadError());
      else
        job->Check(false);
    }
  }
  CTEXTBUF128 trailer;
  trailer.Join3("!", name, "-END");
  job->Line(trailer.Text());

  if (!packed.IsEmpty()) {
    packed.Close();
    packed.DeleteFile();
  }
  return result && job->Ok();
}

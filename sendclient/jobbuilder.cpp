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
// WorkingPathX, and a file is deleted only once what replaces it is
// complete.
#include "lib/encode.h"
#include "lib/notify.h"
#include "lib/stringlist.h"
#include "sendclient/lzssfile.h"
#include "sendclient/sendclient.h"

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

bool OpenForReading(CFILE* file) {
  return file->Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// A job-file writer that remembers whether every write went out.
struct JOBWRITER {
  CBUFFEREDWRITER* file;
  bool ok = true;
  void Line(const char* text) { ok = file->WriteLine(text) && ok; }
  void Text(const char* text) { ok = file->WriteString(text) && ok; }
};

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

DWORD SenderTimeFromFileTime(ULONGLONG intervals) {
  return static_cast<DWORD>(intervals / kIntervalsPerSecond) + kEpochDifference;
}

DWORD SenderTime() { return SenderTimeFromFileTime(SystemIntervals()); }

// ---------------------------------------------------------------------------
// Moving files

bool SendClient::move_to(CPATH* file, const CPATH& directory) { return file->MoveToUnique(directory.Text()); }

const CPATH* SendClient::keep_directory() const {
  if (!m_keepPath.IsEmpty()) return &m_keepPath;
  if (m_keepPathFailed) return &m_failedPath;
  return nullptr;
}

void SendClient::dispose_of_input(CPATH* input) {
  const CPATH* keep = m_keepFiles ? keep_directory() : nullptr;
  if (keep) {
    move_to(input, *keep);
    return;
  }
  input->DeleteFile();
}

// ---------------------------------------------------------------------------
// The job

bool SendClient::build_and_send_job() {
  CPATH input(m_inputFile.Text());
  // Named by a bare word: failures to move or delete it are not reported.
  if (m_bareWordSeen) input.m_error.m_enabled = 0;
  if (!move_to(&input, m_inputPath)) return false;
  m_inputFile.Set(input.Text());

  CBUFFEREDREADER reader(input.Text());
  if (!OpenForReading(&reader)) return false;  // the input stays in WorkingPathI

  CPATH jobFile;
  CBUFFEREDWRITER job;
  const bool named = jobFile.SetTempFileName(m_jobDirectory.Text());
  bool created = named;
  if (created) {
    job.Set(jobFile.Text());
    created = job.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }
  if (!created) {
    // Nothing can be built: the input is kept in WorkingPathX, and the
    // report says why.
    jobFile.m_error.Report("build_and_send_job", named ? "CreateFile" : "GetTempFileName");
    if (!jobFile.IsEmpty()) jobFile.DeleteFile();
    reader.Close();
    CPATH kept(input.Text());
    move_to(&kept, m_failedPath);
    return false;
  }

  m_jobIncomplete = false;
  JOBWRITER out{&job};
  out.Line("!MVN::MVN");
  {
    char line[32];
    wsprintfA(line, "SENDER-TIME=%08lx", SenderTime());
    out.Line(line);
  }
  if (!m_identityToken.IsEmpty()) {
    out.Line("!IDENTITYTOKEN,0,2");
    out.Text(" ");
    out.Line(m_identityToken.Text());
    out.Line("!IDENTITYTOKEN-END");
  }

  bool body = false;
  switch (m_sendType) {
    case SENDTYPE_INPUT:
      body = write_input_body(&reader, &job);
      break;
    case SENDTYPE_MORVANE:
      body = write_section(&reader, &job, "MORVANE", nullptr);
      break;
    case SENDTYPE_GATEWAY:
      body = write_section(&reader, &job, "GATEWAY", nullptr);
      break;
    case SENDTYPE_REGISTER:
      body = write_section(&reader, &job, "REGISTER", nullptr);
      break;
    case SENDTYPE_GROUPDATA:
      body = write_section(&reader, &job, "GROUPDATA", m_listName.Text());
      break;
    default:
      body = false;
      break;
  }
  out.Line("!MVN-END");
  out.ok = job.Close() && out.ok;
  reader.Close();
  // A job that did not reach its file whole counts as a failed body.
  if (!out.ok) m_jobIncomplete = true;
  body = body && out.ok;

  if (body)
    send_job(&jobFile);
  else
    move_to(&jobFile, m_failedPath);

  // A job file that lacks some of the input's data cannot stand in for it:
  // the input is kept beside it.
  if (!body && m_jobIncomplete)
    move_to(&input, m_failedPath);
  else
    dispose_of_input(&input);
  return body;
}

void SendClient::send_job(CPATH* jobFile) {
  CPATH inner(jobFile->Text());  // the job as built, kept until it is replaced

  // Compression of the whole job: a file that cannot be made leaves the job
  // uncompressed; a write that fails stops the job.
  bool compressed = false;
  CPATH packed;
  if (m_compressJob && packed.SetTempFileName(m_jobDirectory.Text())) {
    bool writeFailed = false;
    if (LzssCompressFile(inner.Text(), packed.Text(), &writeFailed)) {
      compressed = true;
    } else {
      packed.DeleteFile();
      packed.Empty();
      if (writeFailed) {
        move_to(&inner, m_failedPath);
        return;
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
      if (written) {
        CBUFFEREDWRITER target(wrapper.Text());
        written = target.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
        if (written) {
          char header[32];
          wsprintfA(header, "!GATEWAY,%d,%lu", compressed ? 1 : 0, m_jobEncoding);
          written = target.WriteLine("!MVN::MVN");
          written = target.WriteLine(header) && written;
          written = WriteBody(&source, &target, m_jobEncoding) && written;
          written = target.WriteLine("!GATEWAY-END") && written;
          written = target.WriteLine("!MVN-END") && written;
          written = target.Close() && written;
        }
      }
      source.Close();
      if (!written) {
        // The job cannot go out as configured: it is kept, as built.
        if (!wrapper.IsEmpty()) wrapper.DeleteFile();
        if (compressed) packed.DeleteFile();
        move_to(&inner, m_failedPath);
        return;
      }
      payload = &wrapper;
    } else if (compressed) {
      // Compressed data cannot go out without the header that says so.
      packed.DeleteFile();
      move_to(&inner, m_failedPath);
      return;
    }
  }
  // Only now is the job as built replaced by what goes out.
  if (payload != &inner) inner.DeleteFile();
  if (compressed && payload != &packed) packed.DeleteFile();

  if (m_module.SendFile(payload->Text())) {
    SetExitCode(0);
    payload->DeleteFile();
    return;
  }
  Notify(NOTIFY_SENDFILEERROR, m_module.GetLastResult(), nullptr, nullptr);
  // A failed send never loses the fax: the job is kept as it was handed over.
  move_to(payload, m_failedPath);
}

bool SendClient::write_input_body(CBUFFEREDREADER* input, CBUFFEREDWRITER* job) {
  JOBWRITER out{job};
  CTEXT line;
  if (!input->ReadLine(&line, kLineLimit)) return true;  // an empty input: no body

  if (StrICmp(line.Text(), "!MVN", 4) != 0) {
    // Plain mode: the whole input as one section.
    if (input->SetPos(FILE_BEGIN, 0) == INVALID_FILE_POSITION) return false;
    return write_section(input, job, "MORVANE", nullptr);
  }

  // Request-file mode: the first line's items, one line each, then every
  // line as it is, with the attachment lines embedded.
  char inlineItems[64];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  DWORD count = items.Split(line.Buffer());
  for (DWORD i = 0; i < count; ++i) out.Line(items.GetItem(i));

  bool result = true;
  while (input->ReadLine(&line, kLineLimit)) {
    const char* text = line.Text();
    if (StrICmp(text, "!EXTATT", 7) == 0 || StrICmp(text, "!EXTERNAL", 9) == 0) {
      if (!embed_attachment(text, input, job)) {
        out.Line(text);
        result = false;
      }
      continue;
    }
    out.Line(text);
  }
  return result && out.ok;
}

bool SendClient::embed_attachment(const char* line, CBUFFEREDREADER*, CBUFFEREDWRITER* job) {
  CTEXT copy;
  copy.Assign(line);
  char inlineItems[64];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  if (items.Split(copy.Buffer()) != 3) return false;
  const char* displayName = items.GetItem(1);
  CPATH path(items.GetItem(2));

  if (path.IsRelative()) {
    CPATH beside;
    beside.SetDirAndName(m_inputDirectory.Text(), path.Text());
    if (!beside.IsFile() && !m_attachPath.IsEmpty()) beside.SetDirAndName(m_attachPath.Text(), path.Text());
    path.Set(beside.Text());
  }
  if (!path.IsFile()) return false;
  CBUFFEREDREADER attachment(path.Text());
  if (!OpenForReading(&attachment)) return false;

  bool result = write_section(&attachment, job, "ATTACHMENT", displayName);
  attachment.Close();
  // The file goes only once its section is in the job file whole.
  result = job->FlushBuffer() && result;
  if (!result) return false;
  if (const CPATH* keep = keep_directory())
    move_to(&path, *keep);
  else
    path.DeleteFile();
  return true;
}

bool SendClient::write_section(CFILE* source, CBUFFEREDWRITER* job, const char* name, const char* displayName) {
  JOBWRITER out{job};
  bool result = true;
  bool compressed = false;
  CFILE packed;
  CFILE* body = source;
  if (m_compressSections && packed.SetTempFileName(m_jobDirectory.Text())) {
    if (packed.Open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {
      // The source has been read once compression ran: when it fails, the
      // section cannot fall back to the plain bytes.
      if (LzssCompressStream(source, &packed) && packed.SetPos(FILE_BEGIN, 0) != INVALID_FILE_POSITION) {
        compressed = true;
        body = &packed;
      } else {
        result = false;
      }
    }
  }

  CTEXTBUF128 header;
  SectionHeader(&header, name, compressed, m_sectionEncoding, displayName);
  out.Line(header.Text());
  if (result) result = WriteBody(body, job, m_sectionEncoding);
  CTEXTBUF128 trailer;
  trailer.Join3("!", name, "-END");
  out.Line(trailer.Text());

  if (!packed.IsEmpty()) {
    packed.Close();
    packed.DeleteFile();
  }
  if (!result || !out.ok) m_jobIncomplete = true;
  return result && out.ok;
}

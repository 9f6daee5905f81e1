// Buffered files (source module "BufferedFile").
#include "lib/bufferedfile.h"

#include <cstring>
#include <limits>

// ---------------------------------------------------------------------------
// CBUFFEREDREADER

CBUFFEREDREADER::CBUFFEREDREADER()
    : m_pushCount(0), m_position(0), m_fill(0), m_lines(0), m_readError(ERROR_SUCCESS) {
  m_error.m_className = "CFILE";
}

CBUFFEREDREADER::CBUFFEREDREADER(const char* path) : CBUFFEREDREADER() { Assign(path); }

ULONGLONG CBUFFEREDREADER::SetPos(DWORD moveMethod, LONGLONG distance) {
  if (moveMethod != FILE_CURRENT) {
    // An absolute move starts reading afresh: bytes pushed back before it
    // belong to the old position.
    m_pushCount = 0;
    m_position = m_fill = 0;
    m_readError = ERROR_SUCCESS;
    return CFILE::SetPos(moveMethod, distance);
  }
  const LONGLONG unread = static_cast<LONGLONG>(m_fill - m_position);
  // Compared without negating the distance, which may be the most negative
  // value.
  const bool insideBuffer = (distance > 0 && distance < unread) ||
                            (distance < 0 && distance >= -static_cast<LONGLONG>(m_position));
  if (distance == 0 || insideBuffer) {
    m_position = static_cast<DWORD>(static_cast<LONGLONG>(m_position) + distance);
    ULONGLONG filePosition = CFILE::SetPos(FILE_CURRENT, 0);
    if (filePosition == INVALID_FILE_POSITION) return filePosition;
    return filePosition - static_cast<ULONGLONG>(m_fill - m_position);
  }
  m_position = m_fill = 0;
  // The file stands unread bytes ahead of the logical position. A distance
  // so far back that this does not fit is no position either.
  if (distance < std::numeric_limits<LONGLONG>::min() + unread) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    m_error.Report("SetPos", "SetFilePointer");
    return INVALID_FILE_POSITION;
  }
  return CFILE::SetPos(FILE_CURRENT, distance - unread);
}

bool CBUFFEREDREADER::Close() {
  m_pushCount = 0;
  m_position = 0;
  m_fill = 0;
  m_lines = 0;
  m_readError = ERROR_SUCCESS;
  return CFILE::Close();
}

bool CBUFFEREDREADER::Flush() { RaiseLibraryError("BufferedFile", 64); }

bool CBUFFEREDREADER::Write(const void*, DWORD, DWORD*) { RaiseLibraryError("BufferedFile", 115); }

bool CBUFFEREDREADER::GetChar(char* byte) {
  if (m_pushCount > 0) {
    *byte = m_pushBack.Buffer()[--m_pushCount];
    return true;
  }
  if (m_buffer.Capacity() == 0) m_buffer.Reserve(BUFFEREDFILE_BUFFER_SIZE);
  if (m_position >= m_fill) {
    if (m_readError != ERROR_SUCCESS) return false;  // no more reads after a failure
    DWORD got = 0;
    if (!CFILE::Read(m_buffer.Buffer(), m_buffer.Capacity(), &got)) {
      // Not the end of the file: the caller asks Failed() to tell.
      DWORD error = GetLastError();
      m_readError = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
    }
    m_fill = got;
    m_position = 0;
  }
  if (m_position >= m_fill) return false;
  *byte = m_buffer.Buffer()[m_position++];
  return true;
}

void CBUFFEREDREADER::Unget(char byte) {
  m_pushBack.Reserve(m_pushCount + 1);
  m_pushBack.Buffer()[m_pushCount++] = byte;
}

bool CBUFFEREDREADER::ReadLine(CTEXT* line, DWORD limit, DWORD* length) {
  line->Reserve(1);
  line->Empty();
  DWORD taken = 0;
  if (length) *length = 0;
  char c = 0;

  // Ends the line at c when it is a line end (CR LF, LF or CR).
  auto endsLine = [&](char byte) {
    if (byte == '\n') return true;
    if (byte != '\r') return false;
    char next = 0;
    if (GetChar(&next) && next != '\n') Unget(next);
    return true;
  };

  for (;;) {
    if (taken >= limit) {
      // A line end right after a full piece belongs to that piece.
      if (taken > 0 && GetChar(&c)) {
        if (endsLine(c)) {
          ++m_lines;
          if (length) *length = taken;
          return true;
        }
        Unget(c);
      }
      break;
    }
    if (!GetChar(&c)) break;
    if (endsLine(c)) {
      ++m_lines;
      if (length) *length = taken;
      return true;
    }
    if (taken + 1 >= line->Capacity()) line->Reserve(taken + 64);
    line->Buffer()[taken++] = c;
    line->Buffer()[taken] = '\0';
  }
  if (length) *length = taken;
  return taken > 0;
}

bool CBUFFEREDREADER::Read(void* buffer, DWORD count, DWORD* transferred) {
  char* out = static_cast<char*>(buffer);
  DWORD delivered = 0;
  while (delivered < count && m_pushCount > 0) out[delivered++] = m_pushBack.Buffer()[--m_pushCount];

  DWORD buffered = m_fill - m_position;
  if (buffered > count - delivered) buffered = count - delivered;
  if (buffered > 0) {
    std::memcpy(out + delivered, m_buffer.Buffer() + m_position, buffered);
    m_position += buffered;
    delivered += buffered;
  }

  bool ok = true;
  if (delivered < count) {
    DWORD got = 0;
    ok = CFILE::Read(out + delivered, count - delivered, &got);
    if (!ok && m_readError == ERROR_SUCCESS) {
      DWORD error = GetLastError();
      m_readError = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
    }
    delivered += got;
  }
  if (transferred) {
    *transferred = delivered;
    return ok;
  }
  return ok && delivered == count;
}

// ---------------------------------------------------------------------------
// CBUFFEREDWRITER

CBUFFEREDWRITER::CBUFFEREDWRITER() : m_fill(0) { m_error.m_className = "CFILE"; }

CBUFFEREDWRITER::CBUFFEREDWRITER(const char* path) : CBUFFEREDWRITER() { Assign(path); }

CBUFFEREDWRITER::~CBUFFEREDWRITER() { FlushBuffer(); }

ULONGLONG CBUFFEREDWRITER::SetPos(DWORD moveMethod, LONGLONG distance) {
  if (moveMethod == FILE_CURRENT && distance == 0) {
    ULONGLONG filePosition = CFILE::SetPos(FILE_CURRENT, 0);
    if (filePosition == INVALID_FILE_POSITION) return filePosition;
    return filePosition + m_fill;
  }
  // Moving with bytes still buffered would put them at the wrong place.
  if (!FlushBuffer()) return INVALID_FILE_POSITION;
  return CFILE::SetPos(moveMethod, distance);
}

bool CBUFFEREDWRITER::Close() {
  bool flushed = FlushBuffer();
  // What could not be written cannot follow the file to a later Open.
  m_fill = 0;
  CFILE::Close();
  return flushed;
}

bool CBUFFEREDWRITER::Flush() { return FlushBuffer() && CFILE::Flush(); }

bool CBUFFEREDWRITER::Read(void*, DWORD, DWORD*) { RaiseLibraryError("BufferedFile", 283); }

bool CBUFFEREDWRITER::Write(const void* buffer, DWORD count, DWORD* transferred) {
  if (!FlushBuffer()) {
    if (transferred) *transferred = 0;
    return false;
  }
  return CFILE::Write(buffer, count, transferred);
}

bool CBUFFEREDWRITER::PutChar(char byte) {
  if (m_buffer.Capacity() == 0) m_buffer.Reserve(BUFFEREDFILE_BUFFER_SIZE);
  if (m_fill >= m_buffer.Capacity() && !FlushBuffer()) return false;
  m_buffer.Buffer()[m_fill++] = byte;
  return true;
}

bool CBUFFEREDWRITER::WriteBytes(const void* block, DWORD count) {
  // PutChar for each byte, a buffer's worth at a time.
  const char* in = static_cast<const char*>(block);
  if (count == 0) return true;
  if (m_buffer.Capacity() == 0) m_buffer.Reserve(BUFFEREDFILE_BUFFER_SIZE);
  const DWORD capacity = m_buffer.Capacity();
  while (count > 0) {
    if (m_fill >= capacity && !FlushBuffer()) return false;
    DWORD n = capacity - m_fill;
    if (n > count) n = count;
    std::memcpy(m_buffer.Buffer() + m_fill, in, n);
    m_fill += n;
    in += n;
    count -= n;
  }
  return true;
}

bool CBUFFEREDWRITER::WriteEOL() { return PutChar('\r') && PutChar('\n'); }

bool CBUFFEREDWRITER::WriteString(const char* text) {
  if (!text) return true;
  return WriteBytes(text, static_cast<DWORD>(std::strlen(text)));
}

bool CBUFFEREDWRITER::WriteLine(const char* text) {
  bool ok = WriteString(text);
  return WriteEOL() && ok;
}

bool CBUFFEREDWRITER::WriteFormatV(const char* format, va_list arguments) {
  // wvsprintfA writes at most 1024 characters and the NUL.
  char work[2048];
  int n = wvsprintfA(work, format, arguments);
  if (n < 0) n = 0;
  return WriteBytes(work, static_cast<DWORD>(n));
}

bool CBUFFEREDWRITER::WriteFormatLine(const char* format, ...) {
  bool ok;
  if (StrChr(format, '%')) {
    va_list arguments;
    va_start(arguments, format);
    ok = WriteFormatV(format, arguments);
    va_end(arguments);
  } else {
    ok = WriteString(format);
  }
  return WriteEOL() && ok;
}

bool CBUFFEREDWRITER::FlushBuffer() {
  if (m_fill == 0) return true;
  DWORD written = 0;
  bool ok = CFILE::Write(m_buffer.Buffer(), m_fill, &written);
  if (ok && written == m_fill) {
    m_fill = 0;
    return true;
  }
  // Keep only what did not reach the file, so a later retry does not write
  // the same bytes twice.
  if (written > 0 && written < m_fill) {
    std::memmove(m_buffer.Buffer(), m_buffer.Buffer() + written, m_fill - written);
    m_fill -= written;
  }
  return false;
}

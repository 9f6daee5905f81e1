// A writer whose first failure sticks (see checkedwriter.h).
#include "lib/checkedwriter.h"

#include <cstdarg>

namespace mvn {

void CheckedWriter::Record(bool ok) {
  if (ok || !Ok()) return;
  DWORD error = GetLastError();
  m_error = error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

void CheckedWriter::Text(const char* text) {
  if (Ok()) Record(m_file->WriteString(text));
}

void CheckedWriter::Line(const char* text) {
  Text(text);
  Eol();
}

void CheckedWriter::LineBytes(const char* text, DWORD length) {
  Bytes(text, length);
  Eol();
}

void CheckedWriter::Bytes(const void* block, DWORD count) {
  if (Ok()) Record(m_file->WriteBytes(block, count));
}

void CheckedWriter::Eol() {
  if (Ok()) Record(m_file->WriteEOL());
}

void CheckedWriter::FormatLine(const char* format, ...) {
  if (!Ok()) return;
  va_list arguments;
  va_start(arguments, format);
  bool ok = m_file->WriteFormatV(format, arguments);
  va_end(arguments);
  Record(ok);
  Eol();
}

void CheckedWriter::Flush() {
  if (Ok()) Record(m_file->FlushBuffer());
}

void CheckedWriter::Check(bool ok) { Record(ok); }

void CheckedWriter::Fail(DWORD error) {
  if (Ok()) m_error = error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

bool CheckedWriter::Close() {
  // The file is closed either way; after a failure its result no longer
  // changes the first error.
  Record(m_file->Close());
  return Ok();
}

}  // namespace mvn

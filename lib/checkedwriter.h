// mvn::CheckedWriter: one way to write a file whose first failure sticks.
//
//   CBUFFEREDWRITER file(path);            // opened by the caller
//   mvn::CheckedWriter out(&file);
//   out.Line("!MVN::MVN");                 // text + CR LF
//   out.LineBytes(text, length);           // a line by length (NUL kept)
//   out.Text(" "); out.Bytes(data, n); out.Eol(); out.FormatLine("%s", x);
//   out.Check(CopyStream(&source, &file)); // a write done on the file itself
//   out.Flush();                           // the buffer to the file
//   if (!out.Close()) ... out.Error() ...  // read once, at the end
//
// Every call after the first failure does nothing, so a failed write can
// neither be overwritten by a later success nor be followed by bytes at the
// wrong place. Close() writes what is buffered, closes the file and gives
// true only when every write since construction went out whole. Error() is
// the system error (GetLastError) taken at the first failure, or
// ERROR_WRITE_FAULT when the failing call set none. The writer does not own
// the file: it works on any CBUFFEREDWRITER, whose layout it leaves as it is.
#pragma once

#include "lib/bufferedfile.h"

namespace mvn {

class CheckedWriter {
 public:
  explicit CheckedWriter(CBUFFEREDWRITER* file) : m_file(file), m_error(ERROR_SUCCESS) {}
  CheckedWriter(const CheckedWriter&) = delete;
  CheckedWriter& operator=(const CheckedWriter&) = delete;

  // The text without its NUL (nullptr writes nothing).
  void Text(const char* text);
  // The text, then CR LF.
  void Line(const char* text);
  // length bytes of text (NUL bytes included), then CR LF.
  void LineBytes(const char* text, DWORD length);
  void Bytes(const void* block, DWORD count);
  void Eol();
  // wvsprintfA-formatted (1024 characters at most), then CR LF.
  void FormatLine(const char* format, ...);
  // Writes the buffered bytes to the file.
  void Flush();
  // Records the result of a write the caller did on the file itself.
  void Check(bool ok);
  // Records a failure with its system error.
  void Fail(DWORD error);

  // No failure so far.
  bool Ok() const { return m_error == ERROR_SUCCESS; }
  // The first failure's system error; ERROR_SUCCESS while none happened.
  DWORD Error() const { return m_error; }
  // Writes the buffer and closes the file; true when nothing failed.
  bool Close();

  CBUFFEREDWRITER* File() const { return m_file; }

 private:
  void Record(bool ok);

  CBUFFEREDWRITER* m_file;
  DWORD m_error;
};

}  // namespace mvn

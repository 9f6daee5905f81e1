// Buffered files: a reader of bytes and text lines with a push-back stack,
// a line counter and a read-error state kept apart from the end of the
// file, and a writer of bytes, texts, line ends and formatted
// lines. Both are CFILE objects with an 8192-byte buffer allocated on first
// use; they keep the CFILE slot order and override SetPos, Close, Flush,
// Read and Write. The slots that make no sense for their direction (Flush
// and Write of a reader, Read of a writer) raise the library error.
#pragma once

#include <cstdarg>

#include "lib/pathfile.h"

constexpr DWORD BUFFEREDFILE_BUFFER_SIZE = 8192;

class CBUFFEREDREADER : public CFILE {
 public:
  CBUFFEREDREADER();
  explicit CBUFFEREDREADER(const char* path);

  // Slot 4: moves the logical position (see bufferedfile.cpp); relative
  // moves inside the buffer do not touch the file.
  ULONGLONG SetPos(DWORD moveMethod, LONGLONG distance) override;
  // Slot 6: forgets pushed-back and buffered bytes and the line count.
  bool Close() override;
  // Slot 9: library fault.
  bool Flush() override;
  // Slot 10: pushed-back bytes, then buffered ones, then the file.
  bool Read(void* buffer, DWORD count, DWORD* transferred) override;
  // Slot 11: library fault.
  bool Write(const void* buffer, DWORD count, DWORD* transferred) override;

  // The next byte; false at the end of the file or on a read failure
  // (Failed() tells them apart).
  bool GetChar(char* byte);
  // Pushes a byte back (last pushed, first read again).
  void Unget(char byte);
  // One line of at most limit characters without its line end (CR LF, LF
  // or CR). A longer line comes in pieces of limit characters; a line end
  // right after a piece belongs to it. False when nothing is left or a
  // read failed before anything of the line was read. The line may hold
  // NUL bytes: *length (when given) is its length in bytes.
  bool ReadLine(CTEXT* line, DWORD limit, DWORD* length = nullptr);
  // Lines ended so far.
  DWORD LineCount() const { return m_lines; }
  // A read of the file failed: what GetChar and ReadLine gave since is not
  // the end of the file. Kept until Close or an absolute SetPos.
  bool Failed() const { return m_readError != ERROR_SUCCESS; }
  // The system error of the first failed read (ERROR_SUCCESS when none).
  DWORD ReadError() const { return m_readError; }

 private:
  CTEXT m_buffer;
  CTEXTBUF64 m_pushBack;
  DWORD m_pushCount;
  DWORD m_position;
  DWORD m_fill;
  DWORD m_lines;
  DWORD m_readError;
};

class CBUFFEREDWRITER : public CFILE {
 public:
  CBUFFEREDWRITER();
  explicit CBUFFEREDWRITER(const char* path);
  ~CBUFFEREDWRITER();  // writes what is buffered, then closes

  // Slot 4: (current, 0) gives the file's position plus the buffered bytes;
  // any other move writes the buffer first and gives INVALID_FILE_POSITION,
  // without moving, when that fails.
  ULONGLONG SetPos(DWORD moveMethod, LONGLONG distance) override;
  // Slot 6: writes the buffer and closes; false when the buffer could not be
  // written (its bytes are then dropped; the file is closed either way).
  bool Close() override;
  // Slot 9: writes the buffer, then FlushFileBuffers; false when either fails.
  bool Flush() override;
  // Slot 10: library fault.
  bool Read(void* buffer, DWORD count, DWORD* transferred) override;
  // Slot 11: writes the buffer, then the caller's block straight to the file.
  bool Write(const void* buffer, DWORD count, DWORD* transferred) override;

  bool PutChar(char byte);
  // The bytes in order; false at the first that cannot be stored.
  bool WriteBytes(const void* block, DWORD count);
  // CR LF.
  bool WriteEOL();
  // The text without its NUL; nullptr writes nothing.
  bool WriteString(const char* text);
  // The text, then CR LF.
  bool WriteLine(const char* text);
  // wvsprintfA into a 2048-byte work buffer, then the result.
  bool WriteFormatV(const char* format, va_list arguments);
  // A format holding "%" is formatted, any other is written as it is; then
  // CR LF.
  bool WriteFormatLine(const char* format, ...);
  // Writes the buffered bytes; true when all went out (or none were there).
  bool FlushBuffer();
  // Bytes waiting in the buffer.
  DWORD BufferedBytes() const { return m_fill; }

 private:
  CTEXT m_buffer;
  DWORD m_fill;
};

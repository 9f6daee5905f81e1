// LZSS compression of files and streams (see lzssfile.h).
#include "sendclient/lzssfile.h"

#include "sendclient/lzss.h"

namespace {

constexpr DWORD kBlock = BUFFEREDFILE_BUFFER_SIZE;

// Bytes of a file, a block at a time through its Read slot. A failed read
// ends the input and is remembered: it is not the end of the file.
class CBLOCKSOURCE {
 public:
  explicit CBLOCKSOURCE(CFILE* file) : m_file(file), m_position(0), m_fill(0), m_failed(false), m_end(false) {}
  CBLOCKSOURCE(const CBLOCKSOURCE&) = delete;
  CBLOCKSOURCE& operator=(const CBLOCKSOURCE&) = delete;

  bool Get(BYTE& byte) {
    if (m_position < m_fill) {
      byte = m_block[m_position++];
      return true;
    }
    return Refill(byte);
  }
  bool Failed() const { return m_failed; }

 private:
  bool Refill(BYTE& byte) {
    if (m_end) return false;
    DWORD got = 0;
    if (!m_file->Read(m_block, kBlock, &got)) m_failed = true;
    if (got == 0 || m_failed) {
      m_end = true;
      return false;
    }
    m_fill = got;
    m_position = 1;
    byte = m_block[0];
    return true;
  }

  CFILE* m_file;
  DWORD m_position;
  DWORD m_fill;
  bool m_failed;
  bool m_end;
  BYTE m_block[kBlock];
};

// Bytes to a file, a block at a time through its Write slot.
class CBLOCKSINK {
 public:
  explicit CBLOCKSINK(CFILE* file) : m_file(file), m_fill(0), m_failed(false) {}
  CBLOCKSINK(const CBLOCKSINK&) = delete;
  CBLOCKSINK& operator=(const CBLOCKSINK&) = delete;

  bool Put(BYTE byte) {
    if (m_fill == kBlock && !Drain()) return false;
    m_block[m_fill++] = byte;
    return true;
  }
  // Writes what is collected; false (for good) once a write failed.
  bool Drain() {
    if (m_failed) return false;
    if (m_fill == 0) return true;
    DWORD written = 0;
    if (!m_file->Write(m_block, m_fill, &written) || written != m_fill) {
      m_failed = true;
      return false;
    }
    m_fill = 0;
    return true;
  }

 private:
  CFILE* m_file;
  DWORD m_fill;
  bool m_failed;
  BYTE m_block[kBlock];
};

// One run: the encoder's result, then the last block, then the source's
// state. The two blocks live on the heap with the encoder's work area.
bool Compress(CFILE* source, CFILE* destination) {
  struct RUN {
    RUN(CFILE* s, CFILE* d) : in(s), out(d) {}
    CBLOCKSOURCE in;
    CBLOCKSINK out;
  };
  RUN* run = new (std::nothrow) RUN(source, destination);
  if (!run) return false;
  bool ok = LzssEncode(run->in, run->out);
  ok = run->out.Drain() && ok;
  ok = ok && !run->in.Failed();
  delete run;
  return ok;
}

}  // namespace

namespace mvn::sendclient {

bool LzssCompressFile(const char* source, const char* destination, bool* writeFailed) {
  if (writeFailed) *writeFailed = false;
  CBUFFEREDREADER in(source);
  if (!in.Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
               nullptr))
    return false;
  CBUFFEREDWRITER out(destination);
  if (!out.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
    return false;
  bool ok = Compress(&in, &out);
  ok = out.Close() && ok;
  in.Close();
  if (!ok && writeFailed) *writeFailed = true;
  return ok;
}

bool LzssCompressStream(CFILE* source, CFILE* destination) {
  if (!source || !destination || !source->IsOpen() || !destination->IsOpen()) return false;
  return Compress(source, destination);
}

}  // namespace mvn::sendclient

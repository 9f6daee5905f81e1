// LZSS coder of the send client.
//
// The classic LZSS coder: a 4,096-byte ring buffer, an 18-byte look-ahead
// and one binary search tree per first byte for the longest match. The fax
// server decodes the output, so the byte stream is a contract:
//
//   a sequence of groups: one flag byte, then 1 to 8 items; bit k of the
//   flag byte (least significant first) is 1 when item k is a literal (one
//   byte) and 0 when it is a match (two bytes: the low 8 bits of the ring
//   position, then ((position >> 4) & 0xF0) | (length - 3)). Positions are
//   absolute ring indices, lengths 3 to 18. The last group may hold fewer
//   than 8 items; its unused flag bits are 0. No header, no length, no
//   trailer; an empty input gives no bytes. A reader starts from a ring of
//   blanks (0x20) with its write position at 4,078.
//
// The encoder streams: LzssEncode pulls bytes one at a time from a source
// and pushes bytes one at a time to a sink, both called directly (inlined),
// with one fixed work area per run whatever the input size.
//
//   source: bool Get(BYTE& byte)  or  bool GetChar(BYTE& byte)
//           (false at the end of the input; it is not called again after)
//   sink:   bool Put(BYTE byte)   or  bool PutChar(BYTE byte)
//           (false when the byte could not be taken)
//
// So a CBUFFEREDREADER / CBUFFEREDWRITER pair can be passed as it is, or
// through a two-line adapter. When the sink refuses a byte the run stops at
// once and LzssEncode returns false: a truncated output is never reported
// as success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/kernel/win32.h"

constexpr int LZSS_N = 4096;        // ring buffer size
constexpr int LZSS_F = 18;          // look-ahead, longest match
constexpr int LZSS_THRESHOLD = 2;   // a match is coded only when longer than this
constexpr int LZSS_NIL = LZSS_N;    // no node

// The work area of one run: the ring buffer and the match-finding trees.
//
// Node links are stored in 16 bits (every index, the roots included, is
// below 4,353) with a node's two children side by side, so the whole area
// stays in the first-level cache and a descent reads both links of a node
// in one load that does not wait for the comparison at that node. Every
// input byte costs one tree step: the oldest string leaves its tree and the
// newest is inserted, whatever the output makes of the match found there.
class CLZSSENCODER {
 public:
  CLZSSENCODER() = default;
  CLZSSENCODER(const CLZSSENCODER&) = delete;
  CLZSSENCODER& operator=(const CLZSSENCODER&) = delete;

  // Encodes everything the source gives into the sink. A fresh object per
  // run (the work area starts zero-filled); false only when the sink failed.
  template <class Source, class Sink>
  bool Encode(Source& source, Sink& sink);

  // Links, for the consistency checks of the tests. Roots are 4,097 + the
  // first byte and have only a right child.
  int Left(int p) const { return m_child[p][0]; }
  int Right(int p) const { return m_child[p][1]; }
  int Parent(int p) const { return m_parent[p]; }

  // Ring buffer; bytes 4,096 to 4,112 mirror bytes 0 to 16 so that an
  // 18-byte comparison never wraps. Padded so that the 8-byte loads of the
  // comparison stay inside the array.
  BYTE m_text[LZSS_N + LZSS_F - 1 + 8] = {};

 private:
  // Inserts the string at ring position r into the tree of its first byte
  // and leaves the longest match met on the way in m_matchPosition and
  // m_matchLength (the first one met among equally long ones); an 18-byte
  // match replaces the older node, which leaves the tree.
  inline void InsertNode(int r);
  // Takes the string at ring position p out of its tree (nothing when it is
  // not in one), keeping every child and parent link consistent.
  inline void DeleteNode(int p);

  template <class Source>
  static bool GetByte(Source& source, BYTE& byte) {
    if constexpr (requires { source.Get(byte); }) {
      return source.Get(byte);
    } else {
      return source.GetChar(byte);
    }
  }
  template <class Sink>
  static bool PutByte(Sink& sink, BYTE byte) {
    if constexpr (requires { sink.Put(byte); }) {
      return sink.Put(byte);
    } else {
      return sink.PutChar(byte);
    }
  }
  template <class Sink>
  static bool PutBytes(Sink& sink, const BYTE* bytes, int count) {
    for (int i = 0; i < count; ++i) {
      if (!PutByte(sink, bytes[i])) return false;
    }
    return true;
  }
  // The parent's link that points to p (a root's is always its right one).
  WORD& LinkTo(int p) {
    const int parent = m_parent[p];
    return m_child[parent][m_child[parent][1] == p ? 1 : 0];
  }

  int m_matchPosition = 0;
  int m_matchLength = 0;
  WORD m_child[LZSS_N + 257][2] = {};  // [0] left, [1] right; 4,097 to 4,352 the roots
  WORD m_parent[LZSS_N + 1] = {};      // LZSS_NIL: not in a tree; [LZSS_NIL] is scratch
};

// Allocates a work area, encodes the source into the sink and frees the
// area (also when the source or sink throws). False when the sink failed or
// the work area could not be allocated.
template <class Source, class Sink>
bool LzssEncode(Source& source, Sink& sink) {
  std::unique_ptr<CLZSSENCODER> work(new (std::nothrow) CLZSSENCODER());
  if (!work) return false;
  return work->Encode(source, sink);
}

// A source over a block of memory.
class CLZSSMEMORYSOURCE {
 public:
  CLZSSMEMORYSOURCE(const void* data, std::size_t size)
      : m_next(static_cast<const BYTE*>(data)), m_end(static_cast<const BYTE*>(data) + size) {}
  bool Get(BYTE& byte) {
    if (m_next == m_end) return false;
    byte = *m_next++;
    return true;
  }

 private:
  const BYTE* m_next;
  const BYTE* m_end;
};

// A sink appending to a vector.
class CLZSSVECTORSINK {
 public:
  explicit CLZSSVECTORSINK(std::vector<BYTE>& out) : m_out(out) {}
  bool Put(BYTE byte) {
    m_out.push_back(byte);
    return true;
  }

 private:
  std::vector<BYTE>& m_out;
};

// Encodes a block of memory; the output replaces the contents of out.
bool LzssEncodeBuffer(const void* data, std::size_t size, std::vector<BYTE>& out);

// ---------------------------------------------------------------------------

namespace lzss_detail {

inline std::uint64_t Load64(const BYTE* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace lzss_detail

void CLZSSENCODER::InsertNode(int r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the comparison assumes little endian");
  using lzss_detail::Load64;
  // Bytes 1 to 17 of the key, compared eight at a time: the lowest set bit
  // of a difference belongs to the first differing byte, and the
  // byte-swapped words order like the strings.
  const BYTE* key = &m_text[r];
  const std::uint64_t k1 = Load64(key + 1), k2 = Load64(key + 9);
  const std::uint64_t k1Order = __builtin_bswap64(k1), k2Order = __builtin_bswap64(k2);
  const BYTE k17 = key[17];

  int matchPosition = 0, matchLength = 0;
  m_child[r][0] = m_child[r][1] = LZSS_NIL;
  // The first step from the root goes right.
  int p = LZSS_N + 1 + key[0];
  int right = 1;
  int next = m_child[p][1];
  while (next != LZSS_NIL) {
    p = next;
    // Both links of p in one load that does not wait for the comparison;
    // the comparison then only picks one.
    std::uint32_t links;
    std::memcpy(&links, m_child[p], sizeof links);
    const int left = static_cast<int>(links & 0xFFFF), rightChild = static_cast<int>(links >> 16);
    const BYTE* text = &m_text[p];
    int i;
    const std::uint64_t t1 = Load64(text + 1);
    if (k1 != t1) {
      i = 1 + (__builtin_ctzll(k1 ^ t1) >> 3);
      right = k1Order > __builtin_bswap64(t1);
    } else {
      const std::uint64_t t2 = Load64(text + 9);
      if (k2 != t2) {
        i = 9 + (__builtin_ctzll(k2 ^ t2) >> 3);
        right = k2Order > __builtin_bswap64(t2);
      } else {
        i = k17 != text[17] ? 17 : LZSS_F;
        right = k17 >= text[17];
      }
    }
    next = right ? rightChild : left;
    // The first string met of each new length is the match (no branch: the
    // outcome is as unpredictable as the data).
    const bool longer = i > matchLength;
    matchPosition = longer ? p : matchPosition;
    matchLength = longer ? i : matchLength;
    if (matchLength >= LZSS_F) goto replace;
  }
  m_child[p][right] = static_cast<WORD>(r);
  m_parent[r] = static_cast<WORD>(p);
  m_matchPosition = matchPosition;
  m_matchLength = matchLength;
  return;

replace:
  // An equal string of full length: r takes p's place, p leaves the tree.
  m_matchPosition = matchPosition;
  m_matchLength = matchLength;
  m_parent[r] = m_parent[p];
  m_child[r][0] = m_child[p][0];
  m_child[r][1] = m_child[p][1];
  m_parent[m_child[p][0]] = static_cast<WORD>(r);  // m_parent[NIL] is a scratch slot
  m_parent[m_child[p][1]] = static_cast<WORD>(r);
  LinkTo(p) = static_cast<WORD>(r);
  m_parent[p] = LZSS_NIL;
}

void CLZSSENCODER::DeleteNode(int p) {
  if (m_parent[p] == LZSS_NIL) return;
  int q;
  if (m_child[p][1] == LZSS_NIL) {
    q = m_child[p][0];
  } else if (m_child[p][0] == LZSS_NIL) {
    q = m_child[p][1];
  } else {
    q = m_child[p][0];
    if (m_child[q][1] != LZSS_NIL) {
      // The rightmost node of the left subtree: unlink it from its place
      // (its left subtree moves up to its parent), then it takes p's left
      // subtree.
      do {
        q = m_child[q][1];
      } while (m_child[q][1] != LZSS_NIL);
      m_child[m_parent[q]][1] = m_child[q][0];
      m_parent[m_child[q][0]] = m_parent[q];
      m_child[q][0] = m_child[p][0];
      m_parent[m_child[p][0]] = static_cast<WORD>(q);
    }
    m_child[q][1] = m_child[p][1];
    m_parent[m_child[p][1]] = static_cast<WORD>(q);
  }
  // q (or NIL, when p was a leaf) takes p's place under p's parent.
  m_parent[q] = m_parent[p];
  LinkTo(p) = static_cast<WORD>(q);
  m_parent[p] = LZSS_NIL;
}

template <class Source, class Sink>
bool CLZSSENCODER::Encode(Source& source, Sink& sink) {
  constexpr int N = LZSS_N, F = LZSS_F;
  for (int i = N + 1; i <= N + 256; ++i) m_child[i][1] = LZSS_NIL;
  for (int i = 0; i < N; ++i) m_parent[i] = LZSS_NIL;

  int s = 0;
  int r = N - F;
  std::memset(m_text + s, ' ', static_cast<std::size_t>(r - s));

  // Fill the look-ahead.
  int len = 0;
  bool more = true;
  while (len < F) {
    BYTE c;
    if (!GetByte(source, c)) {
      more = false;
      break;
    }
    m_text[r + len] = c;
    ++len;
  }
  if (len == 0) return true;

  // The F strings in front of r all begin in the blank-filled window, so a
  // run of blanks at the start of the input matches into it.
  for (int i = 1; i <= F; ++i) InsertNode(r - i);
  InsertNode(r);

  BYTE group[1 + 8 * 2];
  group[0] = 0;
  int fill = 1;
  BYTE mask = 1;

  do {
    if (m_matchLength > len) m_matchLength = len;
    if (m_matchLength <= LZSS_THRESHOLD) {
      m_matchLength = 1;
      group[0] |= mask;
      group[fill++] = m_text[r];
    } else {
      group[fill++] = static_cast<BYTE>(m_matchPosition);
      group[fill++] =
          static_cast<BYTE>(((m_matchPosition >> 4) & 0xF0) | (m_matchLength - (LZSS_THRESHOLD + 1)));
    }
    mask = static_cast<BYTE>(mask << 1);
    if (mask == 0) {
      if (!PutBytes(sink, group, fill)) return false;
      group[0] = 0;
      fill = 1;
      mask = 1;
    }

    // Advance by the item's length, one tree step per byte; at the end of
    // the input the look-ahead shrinks instead.
    const int last = m_matchLength;
    int i = 0;
    if (more) {
      for (; i < last; ++i) {
        BYTE c;
        if (!GetByte(source, c)) {
          more = false;
          break;
        }
        DeleteNode(s);
        m_text[s] = c;
        if (s < F - 1) m_text[s + N] = c;
        s = (s + 1) & (N - 1);
        r = (r + 1) & (N - 1);
        InsertNode(r);
      }
    }
    for (; i < last; ++i) {
      DeleteNode(s);
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      if (--len) InsertNode(r);
    }
  } while (len > 0);

  if (fill > 1 && !PutBytes(sink, group, fill)) return false;
  return true;
}

// LZSS coder: the encoder over memory buffers.
#include "sendclient/lzss.h"

bool LzssEncodeBuffer(const void* data, std::size_t size, std::vector<BYTE>& out) {
  out.clear();
  out.reserve(size + size / 8 + 16);
  CLZSSMEMORYSOURCE source(data, size);
  CLZSSVECTORSINK sink(out);
  return LzssEncode(source, sink);
}

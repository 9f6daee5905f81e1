// LZSS compression of files and of open file streams, over the library's
// buffered files.
//
// Both forms move the data in blocks of 8,192 bytes through the files' Read
// and Write slots and hand the encoder one byte at a time from inline
// buffers of their own, so the per-byte work is never a call through a
// table. Memory use is the encoder's work area and two blocks, whatever the
// size of the input.
#pragma once

#include "lib/bufferedfile.h"
#include "lib/pathfile.h"

namespace mvn::sendclient {

// Compresses the file at source into a new file at destination (created
// always, exclusive). False when either file cannot be opened, or when
// reading the source or writing the destination fails; *writeFailed (when
// given) then tells an I/O failure after both files were open from a
// failure to open them.
bool LzssCompressFile(const char* source, const char* destination, bool* writeFailed = nullptr);

// Compresses the rest of an open source (from its current logical position,
// so bytes its reader has buffered or pushed back come first) into an open
// destination at its current position, and flushes what it wrote. False
// when either object has no open handle, or a read or write fails.
bool LzssCompressStream(CFILE* source, CFILE* destination);

}  // namespace mvn::sendclient

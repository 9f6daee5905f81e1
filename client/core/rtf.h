// RTF cover-page blocks of a send request: the address header (a file), the
// message body (RTF made from the typed text) and the signature (a file),
// each opened by a block header line
//   "!RTFHEADER,0,0" / "!RTFBODY,0,0" / "!RTFSIG,0,0", ",<lines mode digit>",
//   and per margin "," and five digits (the margin in inches times 7200).
//
// Rules of this writer:
// - Margins: "a,b,c,d"; missing ones repeat the last. Each is read as a
//   number (formatting characters ignored), times 7200, rounded to the
//   nearest whole number (halves away from zero); below 0 is written 00000,
//   above 99999 as 99999.
// - Lines modes NONE 0, TOP 1, BOTTOM 2, BOTH / TOP&BOTTOM / TOP & BOTTOM 3
//   (no case); anything else 0.
// - Fonts: the four known names map to their entries, empty is Times New
//   Roman, any other name is a "fnil" entry of that name.
// - Font size: points times two; 0, or a size that is no number, is 12 pt;
//   at most 999 half-points.
// - Body text: "\", "{" and "}" are escaped, characters beyond ASCII are
//   written "\uN?" (UTF-16 units, signed), control characters other than
//   TAB are dropped; the text is split at the earliest line end of any kind
//   (CR LF, CR or LF), each line but the last gets "\par". Every "!" is
//   written "\'21", so no line of the request, nor a piece of one, can be
//   taken for a marker or an attachment line.
// - Header and signature files are opened read-only and copied in 8,192-byte
//   blocks as they are read; a file that cannot be opened (missing, not a
//   regular file, unreadable) leaves its block out, a read that fails after
//   the block began spoils the request. The content is written at its own
//   length followed by CR LF; every "!" of it is written "\'21" (after an
//   unescaped backslash, "'21": the control symbol "\!" becomes the
//   character), so no piece of it that the send client reads as a line,
//   however long the file's lines are, begins with "!".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/core/request.h"
#include "framework/core/ini.h"

namespace mvn::client {

// Writes the three blocks (and their empty lines) into the open request;
// nothing when the message is empty or include is off. False when a write
// failed.
bool BuildCoverPageRtf(RequestFile& request, const framework::IniFile& clientIni, std::string_view coverPage,
                       std::string_view messageText, bool include);

std::string RtfMargins(std::string_view margins);  // ",07200,14400,14400,14400"
std::string LinesModeDigit(std::string_view mode);
std::string RtfFontEntry(std::string_view fontName);
int RtfHalfPoints(std::string_view fontSize);
// Text of the body with RTF escapes (no line splitting).
std::string RtfEscape(std::string_view text);
// The body's text lines, escaped, "\par" after each but the last.
std::vector<std::string> RtfBodyLines(std::string_view messageText);
// A header or signature file's content made safe for the request, block by
// block (a backslash at the end of one block is seen by the next).
class RtfFileFilter {
 public:
  std::string Filter(std::string_view bytes);

 private:
  bool m_oddBackslash = false;
};
// The same for a whole content.
std::string RtfFileContent(std::string_view bytes);

}  // namespace mvn::client

// RTF cover-page blocks (see rtf.h).
#include "client/core/rtf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "client/records/records.h"
#include "framework/core/filemanager.h"
#include "framework/core/strings.h"
#include "platform/kernel/utf.h"

namespace mvn::client {

using framework::Clip;
using framework::Left;
using framework::Upper;

std::string RtfMargins(std::string_view text) {
  std::string out;
  std::string_view rest = text;
  for (int i = 0; i < 4; ++i) {
    size_t comma = rest.find(',');
    std::string_view one = comma == std::string_view::npos ? rest : rest.substr(0, comma);
    if (comma != std::string_view::npos) rest = rest.substr(comma + 1);
    double value = std::round(framework::DeformatReal(one) * 7200.0);
    if (!(value >= 0)) value = 0;
    if (value > 99999) value = 99999;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05d", static_cast<int>(value));
    out += ',';
    out += digits;
  }
  return out;
}

std::string LinesModeDigit(std::string_view mode) {
  std::string m = Upper(Clip(Left(mode)));
  if (m == "TOP") return "1";
  if (m == "BOTTOM") return "2";
  if (m == "BOTH" || m == "TOP&BOTTOM" || m == "TOP & BOTTOM") return "3";
  return "0";
}

std::string RtfFontEntry(std::string_view fontName) {
  std::string name = Clip(Left(fontName));
  std::string u = Upper(name);
  if (u.empty() || u == "TIMES NEW ROMAN") return "froman Times New Roman";
  if (u == "MS SANS SERIF") return "fswiss Ms Sans Serif";
  if (u == "ARIAL") return "fprq2 Arial";
  if (u == "COURIER NEW") return "fmodern\\fprq1 Courier New";
  // A name must not end the font table early: ";", "{", "}" and "\" are
  // left out of it.
  std::string safe;
  for (char c : RtfEscape(name))
    if (c != ';' && c != '{' && c != '}' && c != '\\') safe += c;
  return "fnil " + safe;
}

int RtfHalfPoints(std::string_view fontSize) {
  double points = framework::DeformatReal(fontSize);
  if (!(points > 0)) points = 12;
  double half = std::round(points * 2);
  if (half > 999) half = 999;
  if (half < 1) half = 1;
  return static_cast<int>(half);
}

namespace {

void AppendUnit(std::string& out, long unit) {
  long value = unit > 32767 ? unit - 65536 : unit;
  out += "\\u" + std::to_string(value) + "?";
}

}  // namespace

std::string RtfEscape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      if (c == '\\' || c == '{' || c == '}') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '!') {
        // Its hex escape: no piece of a line (however the reader cuts it)
        // can begin with "!".
        out += "\\'21";
      } else if (c >= 0x20 || c == '\t') {
        out += static_cast<char>(c);
      }
      continue;
    }
    const kernel::Utf8Char character = kernel::DecodeUtf8At(text, i);
    i += character.length;
    if (!character.valid) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\'%02x", c);
      out += hex;
    } else {
      char16_t units[2];
      for (std::size_t k = 0, n = kernel::EncodeUtf16(character.code, units); k < n; ++k) AppendUnit(out, units[k]);
    }
  }
  return out;
}

std::vector<std::string> RtfBodyLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t end = rest.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      lines.push_back(RtfEscape(rest));
      break;
    }
    lines.push_back(RtfEscape(rest.substr(0, end)) + "\\par");
    size_t skip = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n' ? 2 : 1;
    rest = rest.substr(end + skip);
  }
  return lines;
}

std::string RtfFileFilter::Filter(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 16);
  for (char c : bytes) {
    if (c == '\0') c = ' ';
    if (c == '!') {
      // Written as its hex escape wherever it stands, so no piece of the
      // file the send client reads as a line (at a line end, or where a
      // long line is cut) begins with "!". After an unescaped backslash
      // (the control symbol "\!") only the escape's own text is added.
      out += m_oddBackslash ? "'21" : "\\'21";
      m_oddBackslash = false;
      continue;
    }
    out += c;
    m_oddBackslash = c == '\\' && !m_oddBackslash;
  }
  return out;
}

std::string RtfFileContent(std::string_view bytes) { return RtfFileFilter().Filter(bytes); }

namespace {

// The margins of a block: the first key, or the second when it is empty.
std::string Margins(const framework::IniFile& ini, std::string_view section, const char* first, const char* second) {
  std::string value = ini.Fetch(section, first);
  if (Clip(value).empty()) value = ini.Fetch(section, second);
  return value;
}

// Writes a header or signature block: its header line and the file's
// content in 8,192-byte blocks as they are read (read-only, others may read
// and write). A file that cannot be opened leaves the block out; one whose
// read fails once the block has begun spoils the request, which is then not
// sent: half a header is no header.
void FileBlock(RequestFile& request, const framework::IniFile& pages, std::string_view section, const char* marker,
               const char* fileKey, const char* linesKey, const char* marginKey, const char* marginKey2) {
  std::string name = Clip(pages.Fetch(section, fileKey));
  if (!name.empty()) {
    std::string path = name;
    if (!FileExists(path)) path = "./" + FileNamePart(name);
    framework::FileManager file(framework::Driver::Dos, TMPRTFLayout(), path);
    file.SetCreate(false);
    if (file.TryOpen(framework::ReadOnly | framework::DenyNone) == framework::NoError) {
      request.WriteJobLine(std::string(marker) + "," + LinesModeDigit(pages.Fetch(section, linesKey)) +
                           RtfMargins(Margins(pages, section, marginKey, marginKey2)));
      RtfFileFilter filter;
      int rc = file.Set();
      while (rc == framework::NoError && request.Ok()) {
        rc = file.Next();
        if (rc != framework::NoError) break;
        std::string block = file.Buffer().GetText(0);
        block.resize(std::min(block.size(), file.Bytes()));
        request.WriteBytes(filter.Filter(block));
      }
      if (rc != framework::NoError && rc != framework::RecordNotAvailableError)
        request.Abandon("The cover page file " + path + " could not be read: " + framework::ErrorText());
      file.Close();
      request.WriteJobLine("");
    }
  }
  request.WriteJobLine("");
}

}  // namespace

bool BuildCoverPageRtf(RequestFile& request, const framework::IniFile& clientIni, std::string_view coverPage,
                       std::string_view messageText, bool include) {
  if (messageText.empty() || !include) return request.Ok();
  framework::IniFile pages(clientIni.Fetch("Files", "GlobalCoverPages"));
  std::string section = Clip(std::string(coverPage));

  FileBlock(request, pages, section, "!RTFHEADER,0,0", "AddressHeaderFilename", "AddressHeaderLines", "AddressHeader",
            "AddressHeaderMargins");

  request.WriteJobLine("!RTFBODY,0,0," + LinesModeDigit(pages.Fetch(section, "MessageBodyLines")) +
                       RtfMargins(Margins(pages, section, "MessageBody", "MessageBodyMargins")));
  request.WriteJobLine("{\\rtf1\\ansi\\deff0\\deftab720{\\fonttbl{\\f0\\" +
                       RtfFontEntry(pages.Fetch(section, "MessageBodyFontname")) + ";}}");
  request.WriteJobLine("{\\colortbl\\red0\\green0\\blue0;}");
  request.WriteJobLine("\\deflang5129\\pard\\plain\\f0\\fs" +
                       std::to_string(RtfHalfPoints(pages.Fetch(section, "MessageBodyFontSize"))));
  for (const std::string& line : RtfBodyLines(messageText)) request.WriteJobLine(line);
  request.WriteJobLine("\\par");
  request.WriteJobLine("}");
  request.WriteJobLine("");

  FileBlock(request, pages, section, "!RTFSIG,0,0", "SignatureFilename", "SignatureLines", "Signature",
            "SignatureMargins");
  return request.Ok();
}

}  // namespace mvn::client

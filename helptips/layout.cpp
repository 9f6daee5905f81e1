#include "helptips/layout.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "framework/core/record.h"
#include "framework/core/runtime.h"
#include "framework/core/strings.h"
#include "platform/registry/registry.h"

namespace mvn::helptips {
namespace fw = mvn::framework;

TipFont ParseFontSetting(std::string_view value) {
  TipFont f;
  std::vector<std::string> parts;
  std::string cur;
  for (char c : value) {
    if (c == ',') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  f.face = fw::Clip(parts[0]);
  if (parts.size() > 1) f.size = std::atoi(parts[1].c_str());
  if (parts.size() > 2) f.colour = static_cast<unsigned>(std::strtoul(parts[2].c_str(), nullptr, 10)) & 0xFFFFFF;
  if (parts.size() > 3) f.style = std::atoi(parts[3].c_str()) & 7;
  return f;
}

std::string FontSetting(const TipFont& f) {
  return f.face + "," + std::to_string(f.size) + "," + std::to_string(f.colour) + "," + std::to_string(f.style);
}

TipLayoutResult TipLayout(const std::vector<MarkupElement>& elements, const SettingsList& settings, int width,
                          bool history, const FontMeasure& measure) {
  TipLayoutResult r;
  r.width = width;
  int x = 11, y = 5, line = 0;
  int link = -1;  // index of the link a region covers
  for (size_t i = 0; i < elements.size(); ++i) {
    const MarkupElement& e = elements[i];
    if (e.line != line) {
      y += 9;
      x = 11;
      line = e.line;
    }
    PlacedElement p;
    p.element = static_cast<int>(i);
    p.kind = e.type;
    p.x = x;
    p.y = y;
    std::string tooltip = settings.Value(e.name, "TOOLTIP");
    if (e.type == "String") {
      p.text = fw::CutUtf8(e.text, 100);
      std::string font = settings.Value(e.name, "FONT");
      if (!font.empty()) {
        p.font = ParseFontSetting(font);
        p.hasFont = true;
      }
      measure(p.text, p.hasFont ? &p.font : nullptr, &p.width, &p.height);
      x += p.width;
    } else if (e.type == "BUTTON") {
      p.width = p.height = 9;
      p.tooltip = tooltip.empty() ? kDefaultTooltip : tooltip;
      x += 9 + 4;
    } else if (e.type == "BULLET") {
      p.text = kBulletText;
      measure(p.text, nullptr, &p.width, &p.height);
      x += p.width + 3;
    } else if (e.type == "HTTP" || e.type == "LNK") {
      p.text = e.text;
      p.font.colour = 0x0000FF;
      p.font.style = 4;
      p.hasFont = true;
      int h = 0;
      measure(p.text, &p.font, &p.width, &h);
      p.height = 10;
    } else if (e.type == "REGION") {
      if (link >= 0) {
        const PlacedElement& l = r.placed[static_cast<size_t>(link)];
        p.x = l.x;
        p.y = l.y;
        p.width = l.width;
        p.height = l.height;
      }
      p.tooltip = tooltip.empty() ? kDefaultTooltip : tooltip;
      // A region's tooltip is set on its link element.
      if (tooltip.empty() && i > 0) {
        std::string linkTip = settings.Value(elements[i - 1].name, "TOOLTIP");
        if (!linkTip.empty()) p.tooltip = linkTip;
      }
      x += p.width;
    } else if (e.type == "Line") {
      p.x = 2;
      p.width = width - 4;
      p.height = 2;
      x = 11;
      y += 5;
    }
    r.placed.push_back(p);
    link = (e.type == "HTTP" || e.type == "LNK") ? static_cast<int>(r.placed.size()) - 1 : -1;
  }
  r.contentHeight = y;
  r.frameHeight = y + 20;
  if (y <= 235) {
    r.windowHeight = y + 10;
  } else {
    r.windowHeight = 235;
    r.scrolls = true;
  }
  r.historyButtons = history;
  return r;
}

void TipPlace(int storedX, int storedY, int winW, int winH, bool caption, int* x, int* y, bool* movedX, bool* movedY,
              int winX, int winY) {
  *movedX = *movedY = false;
  *x = winX;
  *y = winY;
  if (winY + winH < storedY || winH < storedY) {
    *y = storedY - winH - 2 - (caption ? 10 : 0);
    *movedY = true;
  }
  if (winX + winW < storedX || winW < storedX) {
    *x = storedX - winW - 2;
    *movedX = true;
  }
}

void TipHistory::Push(const HistoryEntry& current) {
  if (m_pos + 1 < Size()) m_entries.resize(static_cast<size_t>(m_pos + 1));
  if (m_pos < 0 || m_entries[static_cast<size_t>(m_pos)] != current) {
    m_entries.push_back(current);
    m_pos = Size() - 1;
  }
}

bool TipHistory::Back(HistoryEntry* entry) {
  if (m_entries.empty() || m_pos <= 0) {
    if (!m_entries.empty() && m_pos == 0) {
      *entry = m_entries[0];
      return true;
    }
    return false;
  }
  --m_pos;
  *entry = m_entries[static_cast<size_t>(m_pos)];
  return true;
}

bool TipHistory::Forward(HistoryEntry* entry) {
  if (m_pos + 1 >= Size()) return false;
  ++m_pos;
  *entry = m_entries[static_cast<size_t>(m_pos)];
  return true;
}

std::string StripSwitches(std::string_view command) {
  std::string s(command);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '-') continue;
    if (i > 0 && s[i - 1] != ' ' && s[i - 1] != '"') continue;  // inside a word: x-www-browser
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '"') s[j++] = ' ';
    i = j;
  }
  return fw::Clip(s);
}

bool BrowserCommandLine(std::string_view browser, std::string_view target, std::string* line) {
  for (char c : target)
    if (c == '"' || static_cast<unsigned char>(c) < 0x20) return false;
  std::string url(target);
  if (!(url.rfind("http", 0) == 0 || url.rfind("file", 0) == 0)) url = "http://" + url;
  if (url.find(' ') != std::string::npos) url = "\"" + url + "\"";
  *line = fw::Clip(browser) + " " + url;
  return !fw::Clip(browser).empty();
}

bool BrowserCommand(std::string* command) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kBrowserKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    // First use on this machine: the default command is installed.
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kBrowserKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      return false;
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kDefaultBrowser),
                   static_cast<DWORD>(std::strlen(kDefaultBrowser) + 1));
  }
  char buf[1024];
  DWORD size = sizeof buf, type = 0;
  LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
  std::string value(buf, size > 0 && buf[size - 1] == '\0' ? size - 1 : size);
  if (value.size() > kBrowserMax) return false;  // never cut short
  *command = StripSwitches(value);
  return !command->empty();
}

std::string HelpTopicPath(std::string_view helpFile, std::string_view topic) {
  std::string folder;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHelpKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char buf[1024];
    DWORD size = sizeof buf, type = 0;
    if (RegQueryValueExA(key, kHelpFolderValue, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
      folder.assign(buf, size > 0 && buf[size - 1] == '\0' ? size - 1 : size);
    RegCloseKey(key);
  }
  if (folder.empty()) {
    std::string program = fw::ProgramPath();
    size_t slash = program.find_last_of('/');
    folder = (slash == std::string::npos ? std::string(".") : program.substr(0, slash)) + "/../share/mvn/help";
  }
  std::string base(fw::Clip(helpFile));
  if (size_t slash = base.find_last_of("/\\"); slash != std::string::npos) base = base.substr(slash + 1);
  if (size_t dot = base.rfind('.'); dot != std::string::npos) base.resize(dot);
  std::string t(fw::Clip(topic));
  for (char& c : t)
    if (c == '/' || c == '\\') c = '_';
  return folder + "/" + base + "/" + t + ".html";
}

CallSetting ParseCall(std::string_view value) {
  CallSetting c;
  std::string v(value);
  c.kind = fw::Upper(v.substr(0, 3));
  std::string rest = v.size() > 3 ? v.substr(3) : std::string();
  size_t comma = rest.find(',');
  if (c.kind == "EXE") {
    c.command = fw::Clip(rest);
  } else if (c.kind == "MSG") {
    c.event = std::atoi(rest.substr(0, comma).c_str());
    c.thread = comma == std::string::npos ? 0 : std::atoi(rest.substr(comma + 1).c_str());
  } else if (c.kind == "HLP") {
    c.helpFile = fw::Clip(rest.substr(0, comma));
    c.topic = comma == std::string::npos ? std::string() : fw::Clip(rest.substr(comma + 1));
  }
  return c;
}

}  // namespace mvn::helptips

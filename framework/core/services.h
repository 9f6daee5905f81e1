// Framework services that talk to the user: message boxes, popup menus, file
// dialogs and progress windows.
//
// Every caller goes through Services(), the implementation installed for the
// process: the GUI library installs its Qt implementation, tests install a
// ScriptedServices that answers from a script and records every request.
// With nothing installed a ScriptedServices with an empty script answers
// (message boxes return their default button, popups and dialogs "none").
//
// Header only, so the core and every program can use it without linking a
// GUI.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace mvn::framework {

// ---------------------------------------------------------------------------
// Message boxes

enum class Icon { None, Information, Question, Exclamation, Hand };

// Buttons, combined with "|". The button pressed is returned as one of them.
enum : unsigned {
  ButtonOk = 0x01,
  ButtonYes = 0x02,
  ButtonNo = 0x04,
  ButtonAbort = 0x08,
  ButtonRetry = 0x10,
  ButtonIgnore = 0x20,
  ButtonCancel = 0x40,
  ButtonHelp = 0x80,
};

struct MessageRequest {
  std::string text;     // "|" breaks the line
  std::string caption;
  Icon icon = Icon::None;
  unsigned buttons = ButtonOk;
  unsigned defaultButton = 0;  // 0: the first of buttons
};

// The message text as shown: every "|" becomes a line break.
inline std::string MessageLines(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '|') c = '\n';
  return out;
}

// The first button of a set, in the order of the enum.
inline unsigned FirstButton(unsigned buttons) {
  for (unsigned b = ButtonOk; b <= ButtonHelp; b <<= 1)
    if (buttons & b) return b;
  return ButtonOk;
}

// ---------------------------------------------------------------------------
// Popup menus

// One entry of a popup menu. The menu is a list of these, so a name that a
// user typed ("-", "~draft", "a|b") is shown as it is and never changes the
// numbering. Separators are not counted; greyed items are.
struct PopupItem {
  enum Kind { Item, Separator };
  Kind kind = Item;
  std::string text;
  bool greyed = false;
  bool checked = false;
  // The text is shown literally: "&" is no mnemonic marker.
  bool literal = false;

  static PopupItem Text(std::string text, bool greyed = false) {
    PopupItem item;
    item.text = std::move(text);
    item.greyed = greyed;
    item.literal = true;
    return item;
  }
  static PopupItem Line() {
    PopupItem item;
    item.kind = Separator;
    return item;
  }
};

// The fixed popup texts of the program's own menus: items separated by "|",
// "-" a separator, a leading "~" a greyed item. Only for texts written into
// the program; names that come from users or files go in as PopupItem::Text.
inline std::vector<PopupItem> ParsePopupText(std::string_view text) {
  std::vector<PopupItem> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t bar = text.find('|', start);
    std::string_view part = text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    PopupItem item;
    if (part == "-") {
      item.kind = PopupItem::Separator;
    } else {
      if (!part.empty() && part.front() == '~') {
        item.greyed = true;
        part.remove_prefix(1);
      }
      item.text = std::string(part);
    }
    items.push_back(std::move(item));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return items;
}

// The number a choice of items[index] returns: its 1-based place among the
// items that are not separators; 0 for a separator or an index out of range.
inline int PopupNumber(const std::vector<PopupItem>& items, size_t index) {
  if (index >= items.size() || items[index].kind == PopupItem::Separator) return 0;
  int number = 0;
  for (size_t i = 0; i <= index; ++i)
    if (items[i].kind != PopupItem::Separator) ++number;
  return number;
}

// ---------------------------------------------------------------------------
// File dialogs

struct FileFilter {
  std::string name;                   // "CSV File"
  std::vector<std::string> patterns;  // "*.csv", "*.txt"
};

// "name|pat;pat" (more pairs may follow: "name|pat|name2|pat2"); a text
// without "|" is a pattern list of its own, named after itself.
inline std::vector<FileFilter> ParseFileFilters(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t bar = text.find('|', start);
    parts.emplace_back(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  std::vector<FileFilter> filters;
  auto patternsOf = [](const std::string& list) {
    std::vector<std::string> out;
    size_t s = 0;
    while (s <= list.size()) {
      size_t semi = list.find(';', s);
      std::string p = list.substr(s, semi == std::string::npos ? std::string::npos : semi - s);
      size_t a = p.find_first_not_of(' '), b = p.find_last_not_of(' ');
      if (a != std::string::npos) out.push_back(p.substr(a, b - a + 1));
      if (semi == std::string::npos) break;
      s = semi + 1;
    }
    return out;
  };
  if (parts.size() == 1) {
    if (!parts[0].empty()) filters.push_back({parts[0], patternsOf(parts[0])});
    return filters;
  }
  for (size_t i = 0; i + 1 < parts.size(); i += 2) filters.push_back({parts[i], patternsOf(parts[i + 1])});
  return filters;
}

// Glob match of a file name ("*" any run, "?" one byte) without regard to
// ASCII letter case, so "*.csv" also takes "LIST.CSV".
inline bool MatchesPattern(std::string_view name, std::string_view pattern) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

inline bool MatchesFilter(std::string_view name, const FileFilter& filter) {
  for (const std::string& pattern : filter.patterns)
    if (pattern == "*.*" || MatchesPattern(name, pattern)) return true;
  return false;
}

enum class FileDialogMode { Open, Save };

struct FileDialogRequest {
  FileDialogMode mode = FileDialogMode::Open;
  std::string title;
  std::string directory;  // where the dialog starts
  std::string filters;    // "name|pat;pat"
};

// ---------------------------------------------------------------------------
// Progress

struct ProgressRequest {
  std::string title;     // window caption
  std::string text;      // the line above the thermometer
  int64_t total = 0;     // records to do (0: unknown)
};

// A progress window for one run over records. Update between records
// reports how far the run is and answers whether it may go on (false once
// the user cancelled). Ends when the object dies.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void SetTotal(int64_t total) = 0;
  virtual bool Update(int64_t done) = 0;
  virtual bool Cancelled() const = 0;
};

// "n% Completed" for done of total (0 when total is 0; at most 100).
inline std::string PercentText(int64_t done, int64_t total) {
  int64_t percent = total > 0 ? (done >= total ? 100 : done * 100 / total) : 0;
  if (percent < 0) percent = 0;
  return std::to_string(percent) + "% Completed";
}

// ---------------------------------------------------------------------------
// The service interface

class ServiceProvider {
 public:
  virtual ~ServiceProvider() = default;
  // The button pressed.
  virtual unsigned Message(const MessageRequest& request) = 0;
  // The chosen item's number (PopupNumber), 0 for none. x, y: screen
  // position, or -1 for the mouse position.
  virtual int Popup(const std::vector<PopupItem>& items, int x = -1, int y = -1) = 0;
  // The chosen path, or false when the user cancelled.
  virtual bool FileDialog(const FileDialogRequest& request, std::string* path) = 0;
  virtual std::unique_ptr<Progress> OpenProgress(const ProgressRequest& request) = 0;
};

// ---------------------------------------------------------------------------
// A scripted implementation: answers come from queues filled by the test,
// and every request is recorded. An empty queue answers with the default
// button, popup 0, a cancelled dialog, and a progress that never cancels.

class ScriptedServices : public ServiceProvider {
 public:
  struct ProgressLog {
    ProgressRequest request;
    int64_t total = 0;
    std::vector<int64_t> updates;
    bool ended = false;
  };

  // Script.
  void AnswerMessage(unsigned button) {
    auto guard = Lock();
    m_messageAnswers.push_back(button);
  }
  void AnswerPopup(int number) {
    auto guard = Lock();
    m_popupAnswers.push_back({number, {}});
  }
  // The next popup is answered with the item a person reads as text: its
  // text without the "&" of a mnemonic and without a shortcut after a tab
  // ("&Paste\tCtrl+V" reads "Paste"); 0 when the popup has no such item.
  void AnswerPopupItem(std::string text) {
    auto guard = Lock();
    m_popupAnswers.push_back({-1, std::move(text)});
  }
  void AnswerFile(std::string path) {
    auto guard = Lock();
    m_fileAnswers.emplace_back(true, std::move(path));
  }
  void CancelFile() {
    auto guard = Lock();
    m_fileAnswers.emplace_back(false, std::string());
  }
  // The next progress window is cancelled by the user once done reaches at.
  void CancelProgressAt(int64_t at) {
    auto guard = Lock();
    m_cancelAt.push_back(at);
  }

  // Record.
  std::vector<MessageRequest> messages;
  std::vector<std::vector<PopupItem>> popups;
  std::vector<FileDialogRequest> fileDialogs;
  std::vector<std::shared_ptr<ProgressLog>> progresses;

  unsigned Message(const MessageRequest& request) override {
    auto guard = Lock();
    messages.push_back(request);
    unsigned answer = request.defaultButton ? request.defaultButton : FirstButton(request.buttons);
    if (!m_messageAnswers.empty()) {
      answer = m_messageAnswers.front();
      m_messageAnswers.pop_front();
    }
    return answer;
  }
  int Popup(const std::vector<PopupItem>& items, int, int) override {
    auto guard = Lock();
    popups.push_back(items);
    if (m_popupAnswers.empty()) return 0;
    PopupAnswer answer = m_popupAnswers.front();
    m_popupAnswers.pop_front();
    if (answer.text.empty()) return answer.number;
    for (size_t i = 0; i < items.size(); ++i)
      if (items[i].kind == PopupItem::Item && ShownText(items[i]) == answer.text) return PopupNumber(items, i);
    return 0;
  }
  bool FileDialog(const FileDialogRequest& request, std::string* path) override {
    auto guard = Lock();
    fileDialogs.push_back(request);
    if (m_fileAnswers.empty()) return false;
    auto [ok, answer] = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    if (ok && path) *path = answer;
    return ok;
  }
  std::unique_ptr<Progress> OpenProgress(const ProgressRequest& request) override {
    auto guard = Lock();
    auto log = std::make_shared<ProgressLog>();
    log->request = request;
    log->total = request.total;
    progresses.push_back(log);
    int64_t cancelAt = -1;
    if (!m_cancelAt.empty()) {
      cancelAt = m_cancelAt.front();
      m_cancelAt.pop_front();
    }
    return std::make_unique<ScriptedProgress>(log, cancelAt);
  }

 private:
  class ScriptedProgress : public Progress {
   public:
    ScriptedProgress(std::shared_ptr<ProgressLog> log, int64_t cancelAt) : m_log(std::move(log)), m_cancelAt(cancelAt) {}
    ~ScriptedProgress() override { m_log->ended = true; }
    void SetTotal(int64_t total) override { m_log->total = total; }
    bool Update(int64_t done) override {
      m_log->updates.push_back(done);
      if (m_cancelAt >= 0 && done >= m_cancelAt) m_cancelled = true;
      return !m_cancelled;
    }
    bool Cancelled() const override { return m_cancelled; }

   private:
    std::shared_ptr<ProgressLog> m_log;
    int64_t m_cancelAt;
    bool m_cancelled = false;
  };

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_mutex); }

  struct PopupAnswer {
    int number;
    std::string text;  // non-empty: answered by the item's text
  };
  static std::string ShownText(const PopupItem& item) {
    std::string text = item.text.substr(0, item.text.find('\t'));
    if (item.literal) return text;
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '&' && i + 1 < text.size()) ++i;
      shown += text[i];
    }
    return shown;
  }

  std::mutex m_mutex;
  std::deque<unsigned> m_messageAnswers;
  std::deque<PopupAnswer> m_popupAnswers;
  std::deque<std::pair<bool, std::string>> m_fileAnswers;
  std::deque<int64_t> m_cancelAt;
};

// ---------------------------------------------------------------------------
// The process-wide implementation

namespace detail {
inline ServiceProvider*& InstalledServices() {
  static ServiceProvider* installed = nullptr;
  return installed;
}
inline ServiceProvider& FallbackServices() {
  static ScriptedServices fallback;
  return fallback;
}
}  // namespace detail

// Installs provider for the whole process (nullptr: back to the fallback).
// The caller keeps it alive while it is installed. Returns the one before.
inline ServiceProvider* InstallServices(ServiceProvider* provider) {
  ServiceProvider* before = detail::InstalledServices();
  detail::InstalledServices() = provider;
  return before;
}

inline ServiceProvider& Services() {
  ServiceProvider* installed = detail::InstalledServices();
  return installed ? *installed : detail::FallbackServices();
}

// Installs a provider for the life of the object and puts the previous one
// back afterwards (tests).
class ScopedServices {
 public:
  explicit ScopedServices(ServiceProvider* provider) : m_before(InstallServices(provider)) {}
  ~ScopedServices() { InstallServices(m_before); }
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  ServiceProvider* m_before;
};

// Shorthands for the callers.
inline unsigned Message(std::string_view text, std::string_view caption = {}, Icon icon = Icon::None,
                        unsigned buttons = ButtonOk, unsigned defaultButton = 0) {
  MessageRequest request;
  request.text = std::string(text);
  request.caption = std::string(caption);
  request.icon = icon;
  request.buttons = buttons;
  request.defaultButton = defaultButton;
  return Services().Message(request);
}

inline int Popup(const std::vector<PopupItem>& items) { return Services().Popup(items); }
inline int Popup(std::string_view fixedText) { return Services().Popup(ParsePopupText(fixedText)); }

}  // namespace mvn::framework

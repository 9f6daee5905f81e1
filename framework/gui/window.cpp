#include "framework/gui/window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QValidator>
#include <QThread>
#include <QToolBar>
#include <algorithm>
#include <atomic>
#include <mutex>

#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/listcontrol.h"

namespace mvn::framework {

namespace {

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

const IniFile* g_settings = nullptr;
bool g_savePlacement = true;

// Bytes of a text as the record stores it: UTF-8, line ends as CR LF.
size_t StoredBytes(const QString& text, bool lineEnds) {
  size_t n = static_cast<size_t>(text.toUtf8().size());
  if (lineEnds) n += static_cast<size_t>(text.count(QChar('\n')) + text.count(QChar(0x2029)));
  return n;
}

// Removes characters of the text just inserted (ending at end, starting at
// start) from its end until the text fits limit bytes; a surrogate pair goes
// whole. Returns the new end.
int CutInserted(QString& text, int start, int end, size_t limit, bool lineEnds) {
  while (end > start && StoredBytes(text, lineEnds) > limit) {
    int n = 1;
    if (end - 2 >= start && text[end - 1].isLowSurrogate() && text[end - 2].isHighSurrogate()) n = 2;
    text.remove(end - n, n);
    end -= n;
  }
  return end;
}

// Keeps an entry's text within the bytes its field holds: what is typed or
// pasted beyond that is cut at a character boundary, so what the entry
// shows is what is stored.
class ByteLimitValidator : public QValidator {
 public:
  ByteLimitValidator(size_t limit, QLineEdit* edit) : QValidator(edit), m_limit(limit), m_last(edit->text()) {
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_last = text; });
  }
  State validate(QString& input, int& pos) const override {
    if (StoredBytes(input, false) <= m_limit) return Acceptable;
    // The inserted text ends at pos; it began where the text before the
    // change and the new one stop agreeing.
    int start = 0;
    while (start < pos && start < m_last.size() && m_last[start] == input[start]) ++start;
    pos = CutInserted(input, start, pos, m_limit, false);
    return StoredBytes(input, false) <= m_limit ? Acceptable : Invalid;
  }

 private:
  size_t m_limit;
  QString m_last;  // the entry's text before the change being checked
};

// The same for a multi-line text: each line break is stored as CR LF.
void LimitTextBytes(QPlainTextEdit* edit, size_t limit) {
  QObject::connect(edit->document(), &QTextDocument::contentsChange, edit, [edit, limit](int at, int, int added) {
    if (added <= 0) return;
    QTextDocument* doc = edit->document();
    if (StoredBytes(doc->toPlainText(), true) <= limit) return;
    QString all = doc->toPlainText();
    // The document counts one position per block end, as the plain text
    // counts its line feed.
    int end = std::min<int>(at + added, static_cast<int>(all.size()));
    int start = std::min(at, end);
    int kept = CutInserted(all, start, end, limit, true);
    QTextCursor cursor(doc);
    cursor.setPosition(kept);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    edit->setTextCursor(cursor);
  });
}

// The top-level widget: reports its close to the window.
class MainWidget : public QMainWindow {
 public:
  explicit MainWidget(std::function<bool()> onClose) : m_onClose(std::move(onClose)) {}
  void closeEvent(QCloseEvent* event) override {
    if (m_onClose && !m_onClose())
      event->ignore();
    else
      event->accept();
  }
  // Minimised by the program or by the user.
  void changeEvent(QEvent* event) override {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_onMinimise) m_onMinimise();
  }
  // Enter and Escape that no control took.
  void keyPressEvent(QKeyEvent* event) override {
    if (m_onKey && !(event->modifiers() & ~Qt::KeypadModifier) && m_onKey(event->key())) {
      event->accept();
      return;
    }
    QMainWindow::keyPressEvent(event);
  }
  std::function<bool()> m_onClose;
  std::function<void()> m_onMinimise;
  std::function<bool(int)> m_onKey;
};

// The windows open now, in the order they opened: the last is the owner of
// the next one.
std::vector<Window*>& OpenWindows() {
  static std::vector<Window*> windows;
  return windows;
}
void Forget(Window* w) {
  auto& open = OpenWindows();
  open.erase(std::remove(open.begin(), open.end(), w), open.end());
}

// The frame a window manager puts around a window's client area (none
// before the window is shown, or without a window manager).
QMargins FrameOf(const QWidget* w) {
  QRect f = w->frameGeometry(), g = w->geometry();
  return QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
}

bool Usable(const QWidget* w) { return w && w->isEnabled() && !w->isHidden(); }

}  // namespace

const char* ControlTypeName(ControlType type) {
  switch (type) {
    case ControlType::Prompt: return "PROMPT";
    case ControlType::Entry: return "ENTRY";
    case ControlType::Text: return "TEXT";
    case ControlType::Button: return "BUTTON";
    case ControlType::Check: return "CHECK";
    case ControlType::Option: return "OPTION";
    case ControlType::Radio: return "RADIO";
    case ControlType::List: return "LIST";
    case ControlType::DropList: return "DROPLIST";
    case ControlType::Sheet: return "SHEET";
    case ControlType::Tab: return "TAB";
    case ControlType::Image: return "IMAGE";
    case ControlType::Progress: return "PROGRESS";
    case ControlType::Box: return "BOX";
    case ControlType::Line: return "LINE";
    case ControlType::Region: return "REGION";
    case ControlType::String: return "STRING";
    case ControlType::Spin: return "SPIN";
    case ControlType::Menu: return "MENU";
    case ControlType::Item: return "ITEM";
    case ControlType::Browse: return "LIST";
    case ControlType::ToolButton: return "BUTTON";
  }
  return "";
}

// ---------------------------------------------------------------------------
// Dialog units

namespace {

// The base units of a font as the dialog templates know them: the average
// width of the 52 letters (rounded) and the font's line height. Kept for
// the last font asked about, so the many conversions of one window cost one
// measurement.
struct BaseUnits {
  QFont font;
  int x = 0, y = 0;
};
const BaseUnits& UnitsOf(const QFont& font) {
  thread_local BaseUnits cached;
  if (cached.x == 0 || !(cached.font == font) || cached.font.resolveMask() != font.resolveMask()) {
    QFontMetrics metrics(font);
    static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    cached.font = font;
    cached.x = std::max(4, (metrics.horizontalAdvance(letters) / 26 + 1) / 2);
    cached.y = std::max(8, metrics.height());
  }
  return cached;
}

}  // namespace

int DialogUnits::BaseX() { return UnitsOf(QApplication::font()).x; }
int DialogUnits::BaseY() { return UnitsOf(QApplication::font()).y; }
// Rounded to the nearest pixel (and back to the nearest unit); since a unit
// is at least one pixel, units survive the round trip unchanged.
int DialogUnits::XToPixels(int du) { return (du * BaseX() * 2 + (du >= 0 ? 4 : -4)) / 8; }
int DialogUnits::YToPixels(int du) { return (du * BaseY() * 2 + (du >= 0 ? 8 : -8)) / 16; }
int DialogUnits::XFromPixels(int px) {
  int b = BaseX();
  return (px * 8 + (px >= 0 ? b : -b)) / (2 * b);
}
int DialogUnits::YFromPixels(int px) {
  int b = BaseY();
  return (px * 16 + (px >= 0 ? b : -b)) / (2 * b);
}
QRect DialogUnits::ToPixels(const QRect& du) {
  return QRect(XToPixels(du.x()), YToPixels(du.y()), XToPixels(du.width()), YToPixels(du.height()));
}
QRect DialogUnits::FromPixels(const QRect& px) {
  return QRect(XFromPixels(px.x()), YFromPixels(px.y()), XFromPixels(px.width()), YFromPixels(px.height()));
}

// ---------------------------------------------------------------------------
// Window

Window::Window(std::string procedureName, std::string caption, QRect du)
    : m_procedure(std::move(procedureName)), m_du(du) {
  m_main = new MainWidget([this] {
    if (m_closing) return true;
    m_cycle = false;
    Raise(EventCloseWindow, 0);
    if (m_cycle) return false;
    m_closing = true;
    SaveGeometry();
    m_open = false;
    Forget(this);
    return true;
  });
  static_cast<MainWidget*>(m_main)->m_onMinimise = [this] { Raise(EventIconize, 0); };
  static_cast<MainWidget*>(m_main)->m_onKey = [this](int key) { return KeyPressed(key); };
  m_main->setObjectName(Q(m_procedure));
  m_main->setAttribute(Qt::WA_DeleteOnClose, false);
  m_canvas = new QWidget(m_main);
  m_main->setCentralWidget(m_canvas);
  m_main->setWindowTitle(Q(caption));
  // The size is the client area's; a position other than (0, 0) places the
  // window, else it is placed when it opens.
  QRect px = DialogUnits::ToPixels(du);
  m_clientSize = px.size();
  m_main->resize(px.size());
  if (du.x() != 0 || du.y() != 0) {
    m_main->move(px.topLeft());
    m_placed = true;
  }
}

Window::~Window() {
  Forget(this);
  if (m_open) SaveGeometry();
  // Widgets going away (a focused entry losing its focus) raise nothing
  // into a window that is being destroyed.
  m_destroying = true;
  blockSignals(true);
  delete m_main;
}

Window::Control* Window::Find(int field) {
  auto it = m_controls.find(field);
  return it == m_controls.end() ? nullptr : &it->second;
}
const Window::Control* Window::Find(int field) const {
  auto it = m_controls.find(field);
  return it == m_controls.end() ? nullptr : &it->second;
}

QWidget* Window::ParentWidget(int parent) const {
  const Control* c = Find(parent);
  return c && c->widget ? c->widget.data() : m_canvas;
}

int Window::NextField(bool menu) { return menu ? m_nextMenu-- : m_nextField++; }

int Window::Add(ControlType type, std::string useName, QWidget* widget, QRect du, int parent) {
  int field = NextField(false);
  Control control;
  control.type = type;
  control.useName = std::move(useName);
  control.widget = widget;
  control.parent = parent;
  control.du = du;
  // A prompt is the label of the control that follows it: its "&" letter
  // moves the focus there.
  if (widget && type != ControlType::Prompt) {
    auto last = m_controls.find(m_nextField - 2);
    if (last != m_controls.end() && last->second.type == ControlType::Prompt)
      if (auto* label = qobject_cast<QLabel*>(last->second.widget.data()); label && !label->buddy())
        label->setBuddy(widget);
  }
  if (widget) {
    widget->setParent(ParentWidget(parent));
    widget->setObjectName(Q(control.useName));
    widget->setGeometry(DialogUnits::ToPixels(du));
    widget->show();
  }
  m_controls.emplace(field, std::move(control));
  Wire(field);
  return field;
}

int Window::AddPrompt(std::string useName, std::string text, QRect du, int parent) {
  auto* label = new QLabel(Q(text));
  return Add(ControlType::Prompt, std::move(useName), label, du, parent);
}

int Window::AddEntry(std::string useName, QRect du, int maxBytes, int parent) {
  auto* edit = new QLineEdit();
  if (maxBytes > 0) {
    edit->setMaxLength(maxBytes);  // no character takes less than a byte
    edit->setValidator(new ByteLimitValidator(static_cast<size_t>(maxBytes), edit));
  }
  return Add(ControlType::Entry, std::move(useName), edit, du, parent);
}

int Window::AddText(std::string useName, QRect du, int parent) {
  auto* edit = new QPlainTextEdit();
  return Add(ControlType::Text, std::move(useName), edit, du, parent);
}

int Window::AddButton(std::string useName, std::string text, QRect du, int parent) {
  auto* button = new QPushButton(Q(text));
  button->setAutoDefault(false);
  return Add(ControlType::Button, std::move(useName), button, du, parent);
}

int Window::AddCheck(std::string useName, std::string text, QRect du, int parent) {
  return Add(ControlType::Check, std::move(useName), new QCheckBox(Q(text)), du, parent);
}

int Window::AddOption(std::string useName, std::string text, QRect du, int parent) {
  auto* box = new QGroupBox(Q(text));
  int field = Add(ControlType::Option, std::move(useName), box, du, parent);
  auto* group = new QButtonGroup(box);
  group->setObjectName("group");
  return field;
}

int Window::AddRadio(int option, std::string useName, std::string text, std::string value, QRect du) {
  Control* opt = Find(option);
  auto* radio = new QRadioButton(Q(text));
  int field = Add(ControlType::Radio, std::move(useName), radio, du, option);
  Control* c = Find(field);
  c->option = option;
  c->value = std::move(value);
  if (opt) {
    opt->radios.push_back(field);
    if (auto* group = opt->widget->findChild<QButtonGroup*>("group")) group->addButton(radio);
  }
  return field;
}

int Window::AddDropList(std::string useName, QRect du, std::vector<std::string> items, int parent) {
  auto* combo = new QComboBox();
  for (const auto& item : items) combo->addItem(Q(item));
  combo->setCurrentIndex(-1);
  return Add(ControlType::DropList, std::move(useName), combo, du, parent);
}

int Window::AddSheet(std::string useName, QRect du, int parent) {
  return Add(ControlType::Sheet, std::move(useName), new QTabWidget(), du, parent);
}

int Window::AddTab(int sheet, std::string useName, std::string text) {
  Control* s = Find(sheet);
  auto* page = new QWidget();
  auto* tabs = s ? qobject_cast<QTabWidget*>(s->widget.data()) : nullptr;
  int field = NextField(false);
  Control control;
  control.type = ControlType::Tab;
  control.useName = std::move(useName);
  control.widget = page;
  control.parent = sheet;
  page->setObjectName(Q(control.useName));
  if (tabs) tabs->addTab(page, Q(text));
  m_controls.emplace(field, std::move(control));
  return field;
}

int Window::AddList(std::string useName, QRect du, Queue* queue, std::vector<Column> columns, std::string markField,
                    int parent) {
  auto* list = new ListControl(this, queue, std::move(columns), std::move(markField));
  int field = Add(ControlType::List, std::move(useName), list, du, parent);
  list->SetField(field);
  return field;
}

// ---------------------------------------------------------------------------
// Menus

int Window::AddMenu(std::string useName, std::string text, int parentMenu) {
  int field = NextField(true);
  QMenu* menu;
  Control* parent = Find(parentMenu);
  if (parent && parent->menu)
    menu = parent->menu->addMenu(Q(text));
  else
    menu = m_main->menuBar()->addMenu(Q(text));
  menu->setObjectName(Q(useName));
  Control control;
  control.type = ControlType::Menu;
  control.useName = std::move(useName);
  control.menu = menu;
  control.action = menu->menuAction();
  control.parent = parentMenu;
  m_controls.emplace(field, std::move(control));
  return field;
}

int Window::AddItem(std::string useName, std::string text, int menu, std::string helpLine) {
  int field = NextField(true);
  Control* parent = Find(menu);
  QAction* action = parent && parent->menu ? parent->menu->addAction(Q(text)) : m_main->menuBar()->addAction(Q(text));
  action->setObjectName(Q(useName));
  if (!helpLine.empty()) action->setStatusTip(Q(helpLine));
  connect(action, &QAction::triggered, this, [this, field] { Raise(EventAccepted, field); });
  Control control;
  control.type = ControlType::Item;
  control.useName = std::move(useName);
  control.action = action;
  control.parent = menu;
  m_controls.emplace(field, std::move(control));
  return field;
}

int Window::AddSeparator(int menu) {
  int field = NextField(true);
  Control* parent = Find(menu);
  QAction* action = parent && parent->menu ? parent->menu->addSeparator() : m_main->menuBar()->addSeparator();
  Control control;
  control.type = ControlType::Item;
  control.action = action;
  control.parent = menu;
  m_controls.emplace(field, std::move(control));
  return field;
}

int Window::AddToolButton(std::string useName, std::string text, std::string icon, std::string tip) {
  if (!m_toolbar) {
    m_toolbar = m_main->addToolBar("Toolbar");
    m_toolbar->setObjectName("Toolbar");
    m_toolbar->setMovable(false);
  }
  int field = NextField(true);
  QAction* action = icon.empty() ? m_toolbar->addAction(Q(text)) : m_toolbar->addAction(QIcon(Q(icon)), Q(text));
  action->setObjectName(Q(useName));
  if (!tip.empty()) action->setToolTip(Q(tip));
  connect(action, &QAction::triggered, this, [this, field] { Raise(EventAccepted, field); });
  Control control;
  control.type = ControlType::ToolButton;
  control.useName = std::move(useName);
  control.action = action;
  m_controls.emplace(field, std::move(control));
  return field;
}

void Window::RemoveMenuControl(int field) {
  Control* c = Find(field);
  if (c && c->type == ControlType::ToolButton) {
    if (m_toolbar) m_toolbar->removeAction(c->action);
    c->action->deleteLater();
    m_controls.erase(field);
    return;
  }
  if (!c || (c->type != ControlType::Menu && c->type != ControlType::Item)) return;
  // Children first.
  std::vector<int> children;
  for (auto& [f, other] : m_controls)
    if (other.parent == field && (other.type == ControlType::Menu || other.type == ControlType::Item))
      children.push_back(f);
  for (int child : children) RemoveMenuControl(child);
  c = Find(field);
  Control* parent = Find(c->parent);
  QWidget* owner = parent && parent->menu ? static_cast<QWidget*>(parent->menu) : m_main->menuBar();
  owner->removeAction(c->action);
  if (c->menu)
    c->menu->deleteLater();
  else
    c->action->deleteLater();
  m_controls.erase(field);
}

void Window::SetChecked(int field, bool checked) {
  Control* c = Find(field);
  if (!c) return;
  if (c->action) {
    c->action->setCheckable(true);
    c->action->setChecked(checked);
  } else if (auto* box = qobject_cast<QCheckBox*>(c->widget.data())) {
    box->setChecked(checked);
  }
}

bool Window::IsChecked(int field) const {
  const Control* c = Find(field);
  if (!c) return false;
  if (c->action) return c->action->isChecked();
  if (auto* box = qobject_cast<QCheckBox*>(c->widget.data())) return box->isChecked();
  return false;
}

// ---------------------------------------------------------------------------
// Lookup

int Window::FieldOf(std::string_view useName) const {
  for (const auto& [field, c] : m_controls)
    if (!c.useName.empty() && CompareNoCase(c.useName, useName) == 0) return field;
  return 0;
}
std::string Window::UseName(int field) const {
  const Control* c = Find(field);
  return c ? c->useName : std::string();
}
ControlType Window::Type(int field) const {
  const Control* c = Find(field);
  return c ? c->type : ControlType::String;
}
QWidget* Window::ControlWidget(int field) const {
  const Control* c = Find(field);
  return c ? c->widget.data() : nullptr;
}
QAction* Window::MenuAction(int field) const {
  const Control* c = Find(field);
  return c ? c->action : nullptr;
}
std::vector<int> Window::Fields() const {
  std::vector<int> out;
  for (const auto& [field, c] : m_controls) out.push_back(field);
  return out;
}
ListControl* Window::List(int field) const { return qobject_cast<ListControl*>(ControlWidget(field)); }

int Window::Choice(int field) const {
  if (ListControl* list = List(field)) return list->Choice();
  if (auto* combo = qobject_cast<QComboBox*>(ControlWidget(field))) return combo->currentIndex() + 1;
  return 0;
}

void Window::SetChoice(int field, int row) {
  if (ListControl* list = List(field)) list->SetChoice(row);
  else if (auto* combo = qobject_cast<QComboBox*>(ControlWidget(field))) combo->setCurrentIndex(row - 1);
}

// ---------------------------------------------------------------------------
// Properties

void Window::SetText(int field, std::string_view text) {
  Control* c = Find(field);
  if (!c) return;
  QString t = Q(text);
  if (c->action) {
    c->action->setText(t);
    return;
  }
  QWidget* w = c->widget.data();
  if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(t);
    FitText(*c);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->setText(t);
  else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) plain->setPlainText(t);
  else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(t);
    FitText(*c);
  } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
    // An option's text is the value of its chosen radio.
    bool chosen = false;
    for (int r : c->radios) {
      Control* radio = Find(r);
      if (radio && radio->value == text) {
        static_cast<QRadioButton*>(radio->widget.data())->setChecked(true);
        chosen = true;
      }
    }
    if (!chosen && c->radios.empty()) box->setTitle(t);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    combo->setCurrentIndex(combo->findText(t));
  } else if (c->type == ControlType::Tab) {
    Control* sheet = Find(c->parent);
    if (auto* tabs = sheet ? qobject_cast<QTabWidget*>(sheet->widget.data()) : nullptr)
      tabs->setTabText(tabs->indexOf(w), t);
  } else if (w) {
    w->setWindowTitle(t);
  }
}

void Window::FitText(Control& c) {
  QWidget* w = c.widget.data();
  if (!w || c.du.isEmpty()) return;
  const QRect built = DialogUnits::ToPixels(c.du);
  int need = 0;
  if (auto* push = qobject_cast<QPushButton*>(w)) {
    QStyleOptionButton option;
    option.initFrom(push);
    option.rect = QRect(QPoint(0, 0), built.size());
    option.text = push->text();
    option.features = push->isDefault() ? QStyleOptionButton::DefaultButton : QStyleOptionButton::None;
    const QRect contents = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push);
    need = push->fontMetrics().size(Qt::TextShowMnemonic, push->text()).width() + built.width() - contents.width();
  } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
    need = w->sizeHint().width();
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    if (label->wordWrap() || !label->pixmap().isNull()) return;
    need = label->sizeHint().width();
  } else {
    return;
  }
  QRect rect = built;
  int extra = need - built.width();
  QWidget* parent = w->parentWidget();
  if (extra > 0 && parent) {
    // The room up to the nearest control beside it (at its height) and up
    // to the parent's edges.
    int right = parent->width() - 1, left = 0;
    for (const auto& [field, other] : m_controls) {
      QWidget* o = other.widget.data();
      if (!o || o == w || o->parentWidget() != parent || other.type == ControlType::Tab) continue;
      const QRect g = o->geometry();
      if (g.bottom() < built.top() || g.top() > built.bottom()) continue;
      if (g.left() > built.right()) right = std::min(right, g.left() - 1);
      else if (g.right() < built.left()) left = std::max(left, g.right() + 1);
    }
    const int toRight = std::clamp(right - built.right(), 0, extra);
    rect.setRight(built.right() + toRight);
    const int toLeft = std::clamp(built.left() - left, 0, extra - toRight);
    rect.setLeft(built.left() - toLeft);
  }
  if (w->geometry() != rect) w->setGeometry(rect);
}

std::string Window::Text(int field) const {
  const Control* c = Find(field);
  if (!c) return std::string();
  if (c->action) return S(c->action->text());
  QWidget* w = c->widget.data();
  if (auto* label = qobject_cast<QLabel*>(w)) return S(label->text());
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return S(edit->text());
  if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) return S(plain->toPlainText());
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return S(button->text());
  if (qobject_cast<QGroupBox*>(w)) {
    for (int r : c->radios) {
      const Control* radio = Find(r);
      if (radio && static_cast<QRadioButton*>(radio->widget.data())->isChecked()) return radio->value;
    }
    return c->radios.empty() ? S(static_cast<QGroupBox*>(w)->title()) : std::string();
  }
  if (auto* combo = qobject_cast<QComboBox*>(w)) return S(combo->currentText());
  if (c->type == ControlType::Tab) {
    const Control* sheet = Find(c->parent);
    if (auto* tabs = sheet ? qobject_cast<QTabWidget*>(sheet->widget.data()) : nullptr)
      return S(tabs->tabText(tabs->indexOf(w)));
  }
  return std::string();
}

void Window::Disable(int field, bool disabled) {
  Control* c = Find(field);
  if (!c) return;
  if (c->action) c->action->setEnabled(!disabled);
  else if (c->widget) c->widget->setEnabled(!disabled);
}
bool Window::IsDisabled(int field) const {
  const Control* c = Find(field);
  if (!c) return false;
  if (c->action) return !c->action->isEnabled();
  return c->widget && !c->widget->isEnabled();
}
void Window::Hide(int field, bool hidden) {
  Control* c = Find(field);
  if (!c) return;
  if (c->action) c->action->setVisible(!hidden);
  else if (c->widget) c->widget->setHidden(hidden);
}
bool Window::IsHidden(int field) const {
  const Control* c = Find(field);
  if (!c) return true;
  if (c->action) return !c->action->isVisible();
  return c->widget && c->widget->isHidden();
}
void Window::SetPosition(int field, QRect du) {
  Control* c = Find(field);
  if (!c || !c->widget) return;
  c->du = du;
  c->widget->setGeometry(DialogUnits::ToPixels(du));
}
QRect Window::Position(int field) const {
  const Control* c = Find(field);
  return c ? c->du : QRect();
}
void Window::SetFont(int field, std::string_view face, int points, int style, int colour) {
  Control* c = Find(field);
  QWidget* w = c ? c->widget.data() : nullptr;
  if (!w) return;
  QFont font = w->font();
  if (!face.empty()) font.setFamily(Q(face));
  if (points > 0) font.setPointSize(points);
  font.setBold(style & 1);
  font.setItalic(style & 2);
  font.setUnderline(style & 4);
  w->setFont(font);
  if (colour >= 0) {
    QPalette palette = w->palette();
    QColor color((colour >> 16) & 0xff, (colour >> 8) & 0xff, colour & 0xff);
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    w->setPalette(palette);
  }
}
void Window::SetCursor(int field, Qt::CursorShape shape) {
  Control* c = Find(field);
  if (c && c->widget) c->widget->setCursor(shape);
}
void Window::SetWindowCursor(bool busy) {
  if (busy)
    m_main->setCursor(Qt::WaitCursor);
  else
    m_main->unsetCursor();
}
void Window::Select(int field) {
  Control* c = Find(field);
  if (c && c->widget) {
    c->widget->setFocus();
    m_focusChosen = true;
  }
}
void Window::SetDefaultButton(int field) { m_defaultButton = field; }
void Window::SetCancelButton(int field) { m_cancelButton = field; }

int Window::EnterButton() const {
  auto usable = [this](int f) { return f && Type(f) == ControlType::Button && Usable(ControlWidget(f)); };
  if (m_defaultButton) return usable(m_defaultButton) ? m_defaultButton : 0;
  for (const char* name : {"?OK", "?Select", "?Save", "?Send", "?Close"})
    if (int f = FieldOf(name); usable(f)) return f;
  return 0;
}
int Window::EscapeButton() const {
  auto usable = [this](int f) { return f && Type(f) == ControlType::Button && Usable(ControlWidget(f)); };
  if (m_cancelButton) return usable(m_cancelButton) ? m_cancelButton : 0;
  for (const char* name : {"?Cancel", "?Back", "?Close"})
    if (int f = FieldOf(name); usable(f)) return f;
  return 0;
}

// Enter and Escape reach the window when the control with the focus did
// not take them (an entry, a check, a button, a drop list that is closed).
bool Window::KeyPressed(int key) {
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    auto* focused = qobject_cast<QPushButton*>(m_main->focusWidget());
    if (focused && m_main->isAncestorOf(focused) && Usable(focused)) {
      focused->click();
      return true;
    }
    if (int f = EnterButton()) {
      static_cast<QPushButton*>(ControlWidget(f))->click();
      return true;
    }
    return false;
  }
  if (key == Qt::Key_Escape) {
    if (int f = EscapeButton()) {
      static_cast<QPushButton*>(ControlWidget(f))->click();
      return true;
    }
    if (m_modal) {
      Close();
      return true;
    }
  }
  return false;
}

// The first control a person types into or chooses with, in field order,
// that is shown (on the current tab) and can take the focus; without one,
// the default button, else the first button that works.
void Window::FocusFirstField() {
  for (auto& [field, c] : m_controls) {
    if (field <= 0 || !c.widget) continue;
    switch (c.type) {
      case ControlType::Entry: case ControlType::Text: case ControlType::List: case ControlType::DropList:
      case ControlType::Browse: case ControlType::Check: case ControlType::Radio: case ControlType::Spin:
        break;
      default:
        continue;
    }
    QWidget* w = c.widget.data();
    if (!w->isVisibleTo(m_main) || !w->isEnabled() || !(w->focusPolicy() & Qt::TabFocus)) continue;
    if (c.type == ControlType::Radio && !static_cast<QRadioButton*>(w)->isChecked()) {
      // An option takes the focus on its chosen radio.
      bool anyChecked = false;
      if (const Control* option = Find(c.option))
        for (int r : option->radios)
          if (const Control* radio = Find(r); radio && radio->widget &&
                                              static_cast<QRadioButton*>(radio->widget.data())->isChecked())
            anyChecked = true;
      if (anyChecked) continue;
    }
    w->setFocus(Qt::OtherFocusReason);
    return;
  }
  int button = EnterButton();
  for (auto& [field, c] : m_controls)
    if (!button && field > 0 && c.type == ControlType::Button && Usable(c.widget.data())) button = field;
  if (button) ControlWidget(button)->setFocus(Qt::OtherFocusReason);
}
void Window::SetCaption(std::string_view caption) { m_main->setWindowTitle(Q(caption)); }
std::string Window::Caption() const { return S(m_main->windowTitle()); }
void Window::SetWindowPosition(QRect du) {
  m_du = du;
  QRect px = DialogUnits::ToPixels(du);
  m_placed = true;
  m_clientSize = px.size();
  m_main->move(px.topLeft());
  m_main->resize(px.width(), px.height() + BarsHeight());
}
QRect Window::WindowPosition() const {
  return DialogUnits::FromPixels(QRect(m_main->pos(), QSize(m_main->width(), m_main->height() - BarsHeight())));
}

// The menu bar's and the toolbar's height above the client area.
int Window::BarsHeight() const {
  int height = 0;
  if (QWidget* menu = m_main->menuWidget(); menu && !menu->isHidden()) {
    // A narrow window's menu bar wraps onto more lines.
    int wrapped = menu->hasHeightForWidth() ? menu->heightForWidth(m_main->width()) : -1;
    height += wrapped > 0 ? wrapped : menu->sizeHint().height();
  }
  if (m_toolbar && !m_toolbar->isHidden()) height += m_toolbar->sizeHint().height();
  return height;
}

Window* Window::Owner() const {
  const auto& open = OpenWindows();
  for (auto it = open.rbegin(); it != open.rend(); ++it)
    if (*it != this && (*it)->m_main->isVisible() && !(*it)->m_main->isMinimized()) return *it;
  return nullptr;
}

// Centres the window on its owner (on the screen when it has none) unless
// it has a position, and keeps its frame inside the screen's available area
// (a window larger than that area shrinks to it), so its title bar can
// always be reached.
void Window::Place(const Window* owner, bool centre) {
  // A maximised window fills the screen; it keeps its normal geometry.
  if (m_main->windowState() & Qt::WindowMaximized) return;
  // Before it is shown, the window's frame is not known yet: the owner's
  // (or any shown window's) is the one the window manager will add.
  QMargins frame;
  if (owner) frame = FrameOf(owner->m_main);
  else
    for (Window* w : OpenWindows())
      if (w != this && w->m_main->isVisible()) frame = FrameOf(w->m_main);
  if (m_main->isVisible()) frame = FrameOf(m_main);
  const QWidget* near = owner ? owner->m_main : nullptr;
  QScreen* screen = near ? near->screen() : nullptr;
  if (m_placed) {
    QScreen* at = QGuiApplication::screenAt(QRect(m_main->pos(), m_main->size()).center());
    if (at) screen = at;
  }
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect available = screen->availableGeometry();
  QSize client = m_main->size();
  client.setWidth(std::max(1, std::min(client.width(), available.width() - frame.left() - frame.right())));
  client.setHeight(std::max(1, std::min(client.height(), available.height() - frame.top() - frame.bottom())));
  if (client != m_main->size()) m_main->resize(client);
  const QSize outer = client.grownBy(frame);
  QPoint at = m_main->pos();
  if (centre) {
    QRect area = owner ? owner->m_main->frameGeometry() : available;
    at = area.center() - QPoint(outer.width() / 2, outer.height() / 2) + QPoint(1, 1);
  }
  at.setX(std::max(available.left(), std::min(at.x(), available.right() + 1 - outer.width())));
  at.setY(std::max(available.top(), std::min(at.y(), available.bottom() + 1 - outer.height())));
  m_main->move(at);
}
void Window::Minimise() { m_main->showMinimized(); }
bool Window::IsMinimised() const { return m_main->isMinimized(); }

// ---------------------------------------------------------------------------
// Events

void Window::Raise(int event, int field) {
  if (m_destroying) return;
  int savedEvent = m_event, savedField = m_field;
  m_event = event;
  m_field = field;
  emit windowEvent(event, field);
  if (event == EventAccepted) emit accepted(field);
  m_event = savedEvent;
  m_field = savedField;
}

void Window::Post(int event, int field) {
  if (m_destroying) return;
  if (event == EventAccepted) {
    // An accepted entry reads back into its bound value first, as typing does.
    if (Control* c = Find(field)) UpdateOne(field, *c);
  }
  Raise(event, field);
}

void Window::Wire(int field) {
  Control* c = Find(field);
  QWidget* w = c->widget.data();
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    connect(button, &QPushButton::clicked, this, [this, field] { Raise(EventAccepted, field); });
  } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
    connect(check, &QCheckBox::clicked, this, [this, field] { Post(EventAccepted, field); });
  } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
    connect(radio, &QRadioButton::clicked, this, [this, field] {
      Control* r = Find(field);
      if (r) Post(EventAccepted, r->option);
    });
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::editingFinished, this, [this, field, edit] {
      Control* e = Find(field);
      std::string now = S(edit->text());
      if (e && now != e->lastText) {
        e->lastText = now;
        Post(EventAccepted, field);
      }
    });
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    connect(combo, QOverload<int>::of(&QComboBox::activated), this, [this, field] {
      Post(EventAccepted, field);
    });
  } else if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
    connect(tabs->tabBar(), &QTabBar::tabBarClicked, this, [this, field](int index) {
      auto* t = qobject_cast<QTabWidget*>(ControlWidget(field));
      if (t && index >= 0 && index != t->currentIndex()) Raise(EventTabChanging, field);
    });
    connect(tabs, &QTabWidget::currentChanged, this, [this, field] { Raise(EventNewSelection, field); });
  }
  // Lists raise their own events (ListControl).
}

bool Window::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::FocusIn) {
    if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
      for (auto& [field, c] : m_controls)
        if (c.widget == edit) c.lastText = S(edit->text());
    }
  }
  return QObject::eventFilter(watched, e);
}

void Window::AllowDrag(int source, int target) {
  m_dragTargets.emplace(source, target);
  if (ListControl* list = List(source)) {
    list->setDragEnabled(true);
    list->setDragDropMode(QAbstractItemView::DragDrop);
  }
  if (ListControl* list = List(target)) {
    list->setAcceptDrops(true);
    list->viewport()->setAcceptDrops(true);
    list->setDropIndicatorShown(true);
  }
}

void Window::DeliverDrop(int source, int sourceRow, int target, int targetRow) {
  bool allowed = false;
  auto range = m_dragTargets.equal_range(source);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == target) allowed = true;
  if (!allowed) return;
  m_dropSource = source;
  m_dropSourceRow = sourceRow;
  m_dropRow = targetRow;
  Raise(EventDrop, target);
  m_dropSource = m_dropSourceRow = m_dropRow = 0;
}

// ---------------------------------------------------------------------------
// Bound values

void Window::Bind(int field, Record* record, std::string fieldName) {
  Control* c = Find(field);
  if (!c) return;
  c->record = record;
  c->boundField = std::move(fieldName);
  // A multi-line text takes no more than its field holds.
  if (auto* text = qobject_cast<QPlainTextEdit*>(c->widget.data()); text && record) {
    int index = record->GetLayout().FindField(c->boundField);
    if (index >= 0 && !c->limited) {
      const FieldDef& f = record->GetLayout().Field(index);
      int bytes = f.type == FieldType::CString ? f.size - 1 : f.size;
      if (bytes > 0) LimitTextBytes(text, static_cast<size_t>(bytes));
      c->limited = true;
    }
  }
}

void Window::DisplayOne(int, Control& c) {
  if (auto* list = qobject_cast<ListControl*>(c.widget.data())) {
    list->Reload();
    return;
  }
  if (!c.record) return;
  std::string value = c.record->Clipped(c.boundField);
  QWidget* w = c.widget.data();
  if (auto* check = qobject_cast<QCheckBox*>(w)) {
    check->setChecked(c.record->GetLong(c.boundField) != 0);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    combo->setCurrentIndex(combo->findText(Q(value), Qt::MatchFixedString));
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->setText(Q(value));
    c.lastText = value;
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(w)) {
    // Stored line ends are CR LF.
    QString t = Q(value);
    t.replace("\r\n", "\n");
    text->setPlainText(t);
  } else {
    for (auto& [field, other] : m_controls)
      if (&other == &c) SetText(field, value);
  }
}

void Window::UpdateOne(int, Control& c) {
  if (!c.record) return;
  QWidget* w = c.widget.data();
  if (auto* check = qobject_cast<QCheckBox*>(w)) {
    c.record->SetLong(c.boundField, check->isChecked() ? 1 : 0);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    c.record->Set(c.boundField, S(edit->text()));
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(w)) {
    QString t = text->toPlainText();
    t.replace("\r\n", "\n");
    t.replace("\n", "\r\n");
    c.record->Set(c.boundField, S(t));
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    c.record->Set(c.boundField, S(combo->currentText()));
  } else if (c.type == ControlType::Option) {
    for (auto& [field, other] : m_controls)
      if (&other == &c) c.record->Set(c.boundField, Text(field));
  }
}

void Window::Display(int field) {
  if (field) {
    if (Control* c = Find(field)) DisplayOne(field, *c);
    return;
  }
  for (auto& [f, c] : m_controls) DisplayOne(f, c);
}

void Window::Update(int field) {
  if (field) {
    if (Control* c = Find(field)) UpdateOne(field, *c);
    return;
  }
  for (auto& [f, c] : m_controls) UpdateOne(f, c);
}

// ---------------------------------------------------------------------------
// The loop

void Window::Open() {
  if (m_open) return;
  // The client area keeps its size below the bars the window has by now.
  m_main->resize(m_clientSize.width(), m_clientSize.height() + BarsHeight());
  RestoreGeometry();
  const Window* owner = Owner();
  Place(owner, !m_placed);
  const QMargins estimated = owner ? FrameOf(owner->m_main) : QMargins();
  m_open = true;
  m_closing = false;
  Display();
  OpenWindows().push_back(this);
  m_main->show();
  // A frame other than the one expected: kept inside the screen again.
  if (FrameOf(m_main) != estimated) Place(owner, false);
  m_focusChosen = false;
  Raise(EventOpenWindow, 0);
  if (m_open && !m_focusChosen) FocusFirstField();
  if (int f = EnterButton()) static_cast<QPushButton*>(ControlWidget(f))->setDefault(true);
}

void Window::Run() {
  m_modal = true;
  m_main->setWindowModality(Qt::ApplicationModal);
  Open();
  if (!m_open) return;
  QEventLoop loop;
  QObject::connect(this, &Window::windowEvent, &loop, [this, &loop](int e, int) {
    if (e == EventCloseWindow) QMetaObject::invokeMethod(&loop, [this, &loop] {
      if (!m_open) loop.quit();
    }, Qt::QueuedConnection);
  });
  if (m_open) loop.exec();
}

void Window::Close() {
  if (!m_open) return;
  m_main->close();
  if (!m_open) m_main->hide();
}

// ---------------------------------------------------------------------------
// Geometry

void Window::SetSettingsFile(const IniFile* ini) { g_settings = ini; }
void Window::SetPlacementSaved(bool saved) { g_savePlacement = saved; }

void Window::RestoreGeometry() {
  if (!g_settings || g_settings->FileName().empty()) return;
  const IniFile& ini = *g_settings;
  std::string x = ini.Fetch(m_procedure, "XPos"), y = ini.Fetch(m_procedure, "YPos");
  std::string w = ini.Fetch(m_procedure, "Width"), h = ini.Fetch(m_procedure, "Height");
  QRect du = WindowPosition();
  auto number = [](const std::string& text, int* out) {
    if (text.empty()) return false;
    try {
      size_t used = 0;
      long v = std::stol(text, &used);
      if (used != text.size() || v < -100000 || v > 100000) return false;
      *out = static_cast<int>(v);
      return true;
    } catch (...) {
      return false;
    }
  };
  int v;
  bool placed = m_placed;
  if (number(x, &v)) du.moveLeft(v), placed = true;
  if (number(y, &v)) du.moveTop(v), placed = true;
  if (number(w, &v) && v > 0) du.setWidth(v);
  if (number(h, &v) && v > 0) du.setHeight(v);
  SetWindowPosition(du);
  m_placed = placed;
  std::string maximize = Upper(Clip(ini.Fetch(m_procedure, "Maximize")));
  if (maximize == "YES" || maximize == "1") m_main->setWindowState(m_main->windowState() | Qt::WindowMaximized);
}

void Window::SaveGeometry() const {
  if (!g_settings || g_settings->FileName().empty() || !g_savePlacement) return;
  IniFile ini = *g_settings;
  bool maximized = m_main->isMaximized();
  // A maximised or minimised window keeps the position it has when shown
  // normally.
  QRect px = (maximized || m_main->isMinimized()) ? m_main->normalGeometry() : m_main->geometry();
  if (!px.isValid()) px = m_main->geometry();
  // The frame's position; the client area's size below the bars.
  QMargins frame = FrameOf(m_main);
  px.translate(-frame.left(), -frame.top());
  px.setHeight(px.height() - BarsHeight());
  QRect du = DialogUnits::FromPixels(px);
  ini.Update(m_procedure, "Maximize", maximized ? "Yes" : "No");
  ini.Update(m_procedure, "XPos", std::to_string(du.x()));
  ini.Update(m_procedure, "YPos", std::to_string(du.y()));
  ini.Update(m_procedure, "Width", std::to_string(du.width()));
  ini.Update(m_procedure, "Height", std::to_string(du.height()));
}

// ---------------------------------------------------------------------------
// START and HALT

namespace {

struct StartedWindows {
  std::mutex mutex;
  std::map<int, std::unique_ptr<Window>> windows;
  int next = 1;
};
StartedWindows& Registry() {
  static StartedWindows registry;
  return registry;
}

bool OnGuiThread() { return !qApp || QThread::currentThread() == qApp->thread(); }

}  // namespace

int Start(std::function<std::unique_ptr<Window>()> procedure, std::string_view controlType) {
  static std::once_flag registered;
  std::call_once(registered, [] { OnHalt(CloseStartedWindows); });
  if (Upper(Clip(controlType)) == "IDE") {
    std::unique_ptr<Window> window = procedure();
    if (window) window->Run();
    return 0;
  }
  int id = 0;
  auto create = [&] {
    std::unique_ptr<Window> window = procedure();
    if (!window) return;
    Window* raw = window.get();
    {
      std::lock_guard<std::mutex> lock(Registry().mutex);
      id = Registry().next++;
      Registry().windows.emplace(id, std::move(window));
    }
    int myId = id;
    QObject::connect(raw, &Window::windowEvent, raw, [raw, myId](int e, int) {
      if (e != EventCloseWindow) return;
      QMetaObject::invokeMethod(raw, [raw, myId] {
        if (raw->IsOpen()) return;
        std::unique_ptr<Window> done;
        {
          std::lock_guard<std::mutex> lock(Registry().mutex);
          auto it = Registry().windows.find(myId);
          if (it != Registry().windows.end()) {
            done = std::move(it->second);
            Registry().windows.erase(it);
          }
        }
        if (done) done.release()->deleteLater();
      }, Qt::QueuedConnection);
    });
    raw->Open();
  };
  if (OnGuiThread())
    create();
  else
    QMetaObject::invokeMethod(qApp, create, Qt::BlockingQueuedConnection);
  return id;
}

Window* Started(int id) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  auto it = Registry().windows.find(id);
  return it == Registry().windows.end() ? nullptr : it->second.get();
}

void PostTo(int id, int event, int field) {
  auto post = [id, event, field] {
    if (Window* w = Started(id)) w->Post(event, field);
  };
  if (OnGuiThread())
    post();
  else
    QMetaObject::invokeMethod(qApp, post, Qt::QueuedConnection);
}

void CloseStartedWindows() {
  std::map<int, std::unique_ptr<Window>> windows;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    windows.swap(Registry().windows);
  }
  for (auto& [id, window] : windows) window->Close();
  windows.clear();
}

}  // namespace mvn::framework

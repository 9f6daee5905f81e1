// The Qt 6 Widgets backend of the dialogs layer (mvn_dialogs_qt.so).
//
// It renders the core's windows: a dialog box is a QDialog with the
// template's controls placed in pixels; a property sheet is a QDialog with a
// QTabWidget (one tab per page, filled when the core creates the page) and
// OK, Cancel and Apply. Every control's object name is its id ("1008"), the
// sheet's buttons are "1", "2" and "12321" (IDOK, IDCANCEL, ID_APPLY_NOW).
// User input goes to the core's Controller; the widgets are then brought in
// line with the core's state with their signals blocked, so nothing the
// core sets comes back as input. Message boxes are QMessageBoxes.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialogs/src/backend.h"

namespace {

using namespace mvn::dialogs;

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToUtf8(const QString& text) {
  QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QColor ToColour(COLORREF colour) { return QColor(GetRValue(colour), GetGValue(colour), GetBValue(colour)); }

RECT ToRect(const QRect& r) { return RECT{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()}; }

// A dialog box or a sheet: Escape and the close box ask the core.
class TopDialog : public QDialog {
 public:
  std::function<void()> onClose;
  void reject() override {
    if (onClose) onClose();
  }
};

// A combo box that tells the core before its list opens (CBN_DROPDOWN).
class ComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> onDropDown;
  void showPopup() override {
    if (onDropDown) onDropDown();
    QComboBox::showPopup();
  }
};

struct Top {
  Controller* controller = nullptr;
  HWND handle = nullptr;
  bool sheet = false;
  TopDialog* dialog = nullptr;
  QTabWidget* tabs = nullptr;
  std::vector<QWidget*> pageHosts;
  QPushButton* ok = nullptr;
  QPushButton* cancel = nullptr;
  QPushButton* apply = nullptr;
  bool inTabChange = false;
};

// Calls back when its widget gains the focus.
class FocusWatcher : public QObject {
 public:
  FocusWatcher(QObject* parent, std::function<void()> focused) : QObject(parent), m_focused(std::move(focused)) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::FocusIn) m_focused();
    return false;
  }

 private:
  std::function<void()> m_focused;
};

struct ControlEntry {
  QWidget* widget;
  HWND top;
};

using Key = std::pair<Controller*, HWND>;

class QtBackend final : public mvn::dialogs::View {
 public:
  bool Start(const char* platform, std::string* error) override {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
      if (!qobject_cast<QApplication*>(existing)) {
        *error = "the process has a Qt application object without widgets";
        return false;
      }
      return true;
    }
    std::string name;
    if (platform) {
      name = platform;
    } else if (const char* qpa = std::getenv("QT_QPA_PLATFORM")) {
      name.assign(qpa, std::strcspn(qpa, ";:"));
    }
    if (name.empty()) name = "xcb";
    if (!PluginInstalled(name)) {
      *error = "the Qt platform plugin \"" + name + "\" is not installed";
      return false;
    }
    // The application object lives as long as the process.
    static int argc = 1;
    static char program[] = "mvn";
    static char option[] = "-platform";
    static std::string platformName;
    static char* argv[4] = {program, nullptr, nullptr, nullptr};
    if (platform) {
      platformName = platform;
      argv[1] = option;
      argv[2] = platformName.data();
      argc = 3;
    }
    auto* app = new QApplication(argc, argv);
    app->setQuitOnLastWindowClosed(false);
    return true;
  }

  BaseUnits Units(const char* fontName, int pointSize) override {
    if (!OnGuiThread()) return BaseUnits{6, 13};
    QFontMetrics metrics(DialogFont(fontName, pointSize));
    // The platform's average width: of the 52 letters, rounded.
    int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return BaseUnits{(width / 26 + 1) / 2, metrics.height()};
  }

  RECT Desktop() override {
    QScreen* screen = OnGuiThread() ? QGuiApplication::primaryScreen() : nullptr;
    return screen ? ToRect(screen->geometry()) : RECT{0, 0, 1024, 768};
  }

  RECT WorkArea() override {
    QScreen* screen = OnGuiThread() ? QGuiApplication::primaryScreen() : nullptr;
    return screen ? ToRect(screen->availableGeometry()) : RECT{0, 0, 1024, 768};
  }

  bool RunDialog(Controller* c, HWND handle) override {
    if (!OnGuiThread()) return false;
    Top& top = NewTop(c, handle, false);
    TopDialog* dialog = top.dialog;
    dialog->setObjectName(QStringLiteral("dialog-%1").arg(c->TemplateId(handle)));
    std::string fontName;
    int pointSize;
    c->Font(handle, &fontName, &pointSize);
    dialog->setFont(DialogFont(fontName.c_str(), pointSize));
    dialog->onClose = [c, handle] { c->UserClosed(handle); };
    RECT r = c->Rect(handle);
    dialog->setFixedSize(r.right - r.left, r.bottom - r.top);
    dialog->move(r.left, r.top);
    BuildControls(c, handle, handle, dialog);
    FocusFromCore(c, handle);
    RunModal(c, handle, dialog);
    return true;
  }

  bool RunSheet(Controller* c, HWND handle) override {
    if (!OnGuiThread()) return false;
    Top& top = NewTop(c, handle, true);
    TopDialog* dialog = top.dialog;
    dialog->setObjectName(QStringLiteral("propertysheet"));
    std::string fontName;
    int pointSize;
    c->Font(handle, &fontName, &pointSize);
    dialog->setFont(DialogFont(fontName.c_str(), pointSize));
    dialog->onClose = [c, handle] { c->UserPressed(handle, IDCANCEL); };

    auto* layout = new QVBoxLayout(dialog);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    top.tabs = new QTabWidget(dialog);
    top.tabs->setObjectName(QStringLiteral("tabs"));
    int cx, cy;
    c->PageAreaSize(handle, &cx, &cy);
    for (int i = 0; i < c->PageCount(handle); ++i) {
      auto* host = new QWidget();
      host->setFixedSize(cx, cy);
      top.pageHosts.push_back(host);
      top.tabs->addTab(host, FromUtf8(c->PageTitle(handle, i)));
    }
    layout->addWidget(top.tabs);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    top.ok = SheetButton(dialog, buttons, QStringLiteral("OK"), IDOK);
    top.cancel = SheetButton(dialog, buttons, QStringLiteral("Cancel"), IDCANCEL);
    top.apply = SheetButton(dialog, buttons, QStringLiteral("&Apply"), ID_APPLY_NOW);
    top.ok->setDefault(true);
    top.apply->setEnabled(c->ApplyEnabled(handle));
    layout->addLayout(buttons);
    for (QPushButton* b : {top.ok, top.cancel, top.apply}) {
      int id = b->objectName().toInt();
      QObject::connect(b, &QPushButton::clicked, dialog, [c, handle, id] { c->UserPressed(handle, id); });
    }
    QObject::connect(top.tabs, &QTabWidget::currentChanged, dialog, [this, c, handle](int index) {
      Top* t = FindTop(c, handle);
      if (!t || t->inTabChange) return;
      t->inTabChange = true;
      c->UserSelectedPage(handle, index);
      if ((t = FindTop(c, handle))) {
        t->inTabChange = false;
        SyncPage(*t);
      }
    });
    dialog->adjustSize();
    c->SheetSized(handle, dialog->width(), dialog->height());
    RECT r = c->Rect(handle);
    dialog->move(r.left, r.top);

    c->SheetStart(handle);
    if (Top* t = FindTop(c, handle)) SyncPage(*t);
    RunModal(c, handle, dialog);
    return true;
  }

  void Changed(Controller* c, HWND window, unsigned what) override {
    if (Top* top = FindTop(c, window)) {
      ChangedTop(*top, what);
      return;
    }
    auto it = m_controls.find(Key(c, window));
    if (it != m_controls.end()) SyncControl(c, window, it->second.widget, what);
  }

  void PageCreated(Controller* c, HWND sheet, int index) override {
    Top* top = FindTop(c, sheet);
    if (!top || index < 0 || index >= static_cast<int>(top->pageHosts.size())) return;
    HWND page = c->Page(sheet, index);
    QWidget* host = top->pageHosts[index];
    host->setObjectName(QStringLiteral("page-%1").arg(c->TemplateId(page)));
    std::string fontName;
    int pointSize;
    c->Font(page, &fontName, &pointSize);
    host->setFont(DialogFont(fontName.c_str(), pointSize));
    BuildControls(c, sheet, page, host);
  }

  void Ending(Controller* c, HWND window) override {
    Top* top = FindTop(c, window);
    if (top && top->dialog->isVisible()) top->dialog->done(0);
  }

  bool Type(Controller* c, HWND control, const std::string& text) override {
    QLineEdit* edit = LineEditOf(Widget(c, control));
    if (!edit || !edit->isEnabled() || edit->isReadOnly()) return false;
    HWND top = TopOf(c, control);
    edit->setFocus();
    edit->selectAll();
    if (text.empty()) {
      if (!edit->text().isEmpty()) SendKey(edit, Qt::Key_Delete, QString());
      return true;
    }
    QString typed = FromUtf8(text);
    for (qsizetype i = 0; i < typed.size() && !c->Ended(top); ++i) {
      qsizetype n = typed.at(i).isHighSurrogate() && i + 1 < typed.size() ? 2 : 1;
      SendKey(edit, 0, typed.mid(i, n));
      i += n - 1;
    }
    return true;
  }

  bool Click(Controller* c, HWND control) override {
    auto* button = qobject_cast<QAbstractButton*>(Widget(c, control));
    if (!button || !button->isEnabled()) return false;
    button->click();
    return true;
  }

  bool Select(Controller* c, HWND combo, int index) override {
    auto* box = dynamic_cast<ComboBox*>(Widget(c, combo));
    if (!box || !box->isEnabled() || index < 0 || index >= box->count()) return false;
    box->setCurrentIndex(index);
    emit box->activated(index);
    return true;
  }

  bool DropDown(Controller* c, HWND combo) override {
    auto* box = dynamic_cast<ComboBox*>(Widget(c, combo));
    if (!box || !box->isEnabled() || !box->onDropDown) return false;
    box->onDropDown();  // what opening the list tells the core, without the popup
    return true;
  }

  bool SelectPage(Controller* c, HWND sheet, int index) override {
    Top* top = FindTop(c, sheet);
    if (!top || !top->tabs || index < 0 || index >= top->tabs->count()) return false;
    top->tabs->setCurrentIndex(index);
    return c->CurrentPage(sheet) == index;
  }

  bool Press(Controller* c, HWND window, int button) override {
    Top* top = FindTop(c, window);
    if (!top) return false;
    QPushButton* widget = nullptr;
    if (top->sheet) {
      widget = button == IDOK ? top->ok : button == IDCANCEL ? top->cancel : button == ID_APPLY_NOW ? top->apply : nullptr;
    } else {
      for (auto& [key, entry] : m_controls)
        if (key.first == c && entry.top == window && entry.widget->objectName() == QString::number(button))
          widget = qobject_cast<QPushButton*>(entry.widget);
    }
    if (widget) {
      if (!widget->isEnabled()) return false;
      widget->click();
      return true;
    }
    c->UserPressed(window, button);
    return true;
  }

  int MessageBox(HWND, const char* text, const char* caption, UINT type) override {
    if (!OnGuiThread()) return 0;
    QMessageBox box;
    box.setObjectName(QStringLiteral("messagebox"));
    box.setWindowTitle(QString::fromUtf8(caption ? caption : "Error"));
    // The system's texts break lines with "|" as well as "\n".
    box.setText(QString::fromUtf8(text ? text : "").replace(QLatin1Char('|'), QLatin1Char('\n')));
    switch (type & 0xF0u) {
      case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
      case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
      case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
      case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
      default: break;
    }
    struct Choice {
      QMessageBox::StandardButton button;
      int id;
    };
    std::vector<Choice> choices;
    int escape = 0;
    switch (type & 0xFu) {
      case MB_OKCANCEL: choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; escape = IDCANCEL; break;
      case MB_ABORTRETRYIGNORE:
        choices = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
        break;
      case MB_YESNOCANCEL:
        choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        escape = IDCANCEL;
        break;
      case MB_YESNO: choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
      case MB_RETRYCANCEL: choices = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; escape = IDCANCEL; break;
      default: choices = {{QMessageBox::Ok, IDOK}}; escape = IDOK; break;
    }
    for (const Choice& choice : choices) {
      QPushButton* b = box.addButton(choice.button);
      b->setObjectName(QString::number(choice.id));
      if (choice.id == escape) box.setEscapeButton(b);
    }
    size_t defaultIndex = (type & 0xF00u) >> 8;
    if (defaultIndex >= choices.size()) defaultIndex = 0;
    box.setDefaultButton(choices[defaultIndex].button);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked) return clicked->objectName().toInt();
    return escape ? escape : IDCANCEL;
  }

 private:
  static bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
  }

  static bool PluginInstalled(const std::string& name) {
    QStringList directories;
    directories << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    const QString extra = qEnvironmentVariable("QT_PLUGIN_PATH");
    for (const QString& d : extra.split(QLatin1Char(':'), Qt::SkipEmptyParts)) directories << d + QStringLiteral("/platforms");
    const QString direct = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    if (!direct.isEmpty()) directories << direct;
    const QString pattern = QStringLiteral("libq") + QString::fromStdString(name) + QStringLiteral("*.so");
    for (const QString& d : directories)
      if (!QDir(d).entryList(QStringList{pattern}, QDir::Files).isEmpty()) return true;
    return false;
  }

  static QFont DialogFont(const char* name, int pointSize) {
    QFont font(QString::fromUtf8(name && *name ? name : "Sans Serif"), pointSize > 0 ? pointSize : 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
  }

  static void SendKey(QWidget* target, int key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(target, &release);
  }

  static QLineEdit* LineEditOf(QWidget* widget) {
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit;
    if (auto* box = qobject_cast<QComboBox*>(widget)) return box->lineEdit();
    return nullptr;
  }

  Top& NewTop(Controller* c, HWND handle, bool sheet) {
    Top& top = m_tops[Key(c, handle)];
    top.controller = c;
    top.handle = handle;
    top.sheet = sheet;
    top.dialog = new TopDialog();
    top.dialog->setWindowTitle(FromUtf8(c->Text(handle)));
    return top;
  }

  Top* FindTop(Controller* c, HWND handle) {
    auto it = m_tops.find(Key(c, handle));
    return it == m_tops.end() ? nullptr : &it->second;
  }

  QWidget* Widget(Controller* c, HWND control) {
    auto it = m_controls.find(Key(c, control));
    return it == m_controls.end() ? nullptr : it->second.widget;
  }

  HWND TopOf(Controller* c, HWND control) {
    auto it = m_controls.find(Key(c, control));
    return it == m_controls.end() ? nullptr : it->second.top;
  }

  void RunModal(Controller* c, HWND handle, TopDialog* dialog) {
    if (!c->Ended(handle)) {
      QTimer::singleShot(0, dialog, [c, handle] { c->Shown(handle); });
      dialog->exec();
    }
    for (auto it = m_controls.begin(); it != m_controls.end();) {
      if (it->first.first == c && it->second.top == handle)
        it = m_controls.erase(it);
      else
        ++it;
    }
    m_tops.erase(Key(c, handle));
    delete dialog;
  }

  static QPushButton* SheetButton(QWidget* parent, QHBoxLayout* row, const QString& text, int id) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::number(id));
    row->addWidget(button);
    return button;
  }

  void ChangedTop(Top& top, unsigned what) {
    Controller* c = top.controller;
    if (what & kChangeText) top.dialog->setWindowTitle(FromUtf8(c->Text(top.handle)));
    if (what & kChangeGeometry) {
      RECT r = c->Rect(top.handle);
      top.dialog->move(r.left, r.top);
      if (!top.sheet) top.dialog->setFixedSize(r.right - r.left, r.bottom - r.top);
    }
    if ((what & kChangeApply) && top.apply) top.apply->setEnabled(c->ApplyEnabled(top.handle));
    if ((what & kChangePage) && !top.inTabChange) SyncPage(top);
    if (what & kChangeFocus) FocusFromCore(c, top.handle);
  }

  void SyncPage(Top& top) {
    if (!top.tabs) return;
    int current = top.controller->CurrentPage(top.handle);
    if (current >= 0 && current != top.tabs->currentIndex()) {
      QSignalBlocker block(top.tabs);
      top.tabs->setCurrentIndex(current);
    }
  }

  void FocusFromCore(Controller* c, HWND top) {
    if (QWidget* w = Widget(c, c->Focus(top))) w->setFocus();
  }

  void BuildControls(Controller* c, HWND top, HWND parent, QWidget* host) {
    for (int i = 0; i < c->ChildCount(parent); ++i) {
      HWND control = c->ChildAt(parent, i);
      ControlInfo info;
      if (!c->Control(control, &info)) continue;
      QWidget* widget = CreateWidget(c, control, info, host);
      if (info.id != IDC_STATIC) widget->setObjectName(QString::number(info.id));
      m_controls[Key(c, control)] = ControlEntry{widget, top};
      SyncControl(c, control, widget, ~0u);
      if (info.kind == DialogControlKind::GroupBox) widget->lower();
      widget->show();
    }
  }

  QWidget* CreateWidget(Controller* c, HWND control, const ControlInfo& info, QWidget* host) {
    QWidget* widget = CreateWidgetOfKind(c, control, info, host);
    // Focus that a click or Tab moves is reported, so a field that is left
    // can be validated.
    if (info.kind != DialogControlKind::Static && info.kind != DialogControlKind::GroupBox)
      widget->installEventFilter(new FocusWatcher(widget, [c, control] { c->UserFocused(control); }));
    return widget;
  }

  QWidget* CreateWidgetOfKind(Controller* c, HWND control, const ControlInfo& info, QWidget* host) {
    bool tabStop = (info.style & WS_TABSTOP) != 0;
    switch (info.kind) {
      case DialogControlKind::Static: {
        auto* label = new QLabel(host);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
      }
      case DialogControlKind::Edit: {
        auto* edit = new QLineEdit(host);
        edit->setFrame((info.style & WS_BORDER) != 0);
        if (info.style & ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
        edit->setReadOnly((info.style & ES_READONLY) != 0);
        edit->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        QObject::connect(edit, &QLineEdit::textEdited, edit,
                         [c, control](const QString& text) { c->UserTyped(control, ToUtf8(text)); });
        return edit;
      }
      case DialogControlKind::CheckBox: {
        auto* box = new QCheckBox(host);
        if (info.style & BS_LEFTTEXT) box->setLayoutDirection(Qt::RightToLeft);
        box->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        QObject::connect(box, &QCheckBox::clicked, box, [c, control] { c->UserClicked(control); });
        return box;
      }
      case DialogControlKind::PushButton: {
        auto* button = new QPushButton(host);
        button->setDefault((info.style & BS_DEFPUSHBUTTON) != 0);
        button->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        QObject::connect(button, &QPushButton::clicked, button, [c, control] { c->UserClicked(control); });
        return button;
      }
      case DialogControlKind::GroupBox:
        return new QGroupBox(host);
      case DialogControlKind::ComboBox: {
        auto* box = new ComboBox(host);
        box->setEditable((info.style & 0x3) != CBS_DROPDOWNLIST);
        box->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        box->onDropDown = [c, control] { c->UserDroppedDown(control); };
        QObject::connect(box, &QComboBox::activated, box, [c, control](int index) { c->UserSelected(control, index); });
        if (QLineEdit* edit = box->lineEdit())
          QObject::connect(edit, &QLineEdit::textEdited, edit,
                           [c, control](const QString& text) { c->UserTyped(control, ToUtf8(text)); });
        return box;
      }
    }
    return new QWidget(host);
  }

  void SyncControl(Controller* c, HWND control, QWidget* widget, unsigned what) {
    ControlInfo info;
    if (!c->Control(control, &info)) return;
    QSignalBlocker block(widget);
    if (what & kChangeGeometry) {
      int height = info.rect.bottom - info.rect.top;
      if (info.kind == DialogControlKind::ComboBox) height = std::min(height, widget->sizeHint().height());
      widget->setGeometry(info.rect.left, info.rect.top, info.rect.right - info.rect.left, height);
    }
    if (what & kChangeEnabled) widget->setEnabled(info.enabled);
    QString text = FromUtf8(c->Text(control));
    switch (info.kind) {
      case DialogControlKind::Static:
        if (what & kChangeText) static_cast<QLabel*>(widget)->setText(text);
        break;
      case DialogControlKind::GroupBox:
        if (what & kChangeText) static_cast<QGroupBox*>(widget)->setTitle(text);
        break;
      case DialogControlKind::PushButton:
        if (what & kChangeText) static_cast<QPushButton*>(widget)->setText(text);
        break;
      case DialogControlKind::CheckBox: {
        auto* box = static_cast<QCheckBox*>(widget);
        if (what & kChangeText) box->setText(text);
        if (what & kChangeCheck) box->setChecked(info.check == BST_CHECKED);
        break;
      }
      case DialogControlKind::Edit: {
        auto* edit = static_cast<QLineEdit*>(widget);
        if ((what & kChangeText) && edit->text() != text) edit->setText(text);
        if (what & kChangeLimit) edit->setMaxLength(info.limit ? static_cast<int>(std::min<UINT>(info.limit, 32767)) : 32767);
        if (what & kChangeColours) Paint(widget, info);
        break;
      }
      case DialogControlKind::ComboBox: {
        auto* box = static_cast<ComboBox*>(widget);
        if (what & kChangeItems) {
          box->clear();
          for (int i = 0; i < c->ItemCount(control); ++i) box->addItem(FromUtf8(c->Item(control, i)));
        }
        if (what & (kChangeItems | kChangeSelection)) box->setCurrentIndex(c->Selection(control));
        if (QLineEdit* edit = box->lineEdit()) {
          QSignalBlocker blockEdit(edit);
          if ((what & (kChangeText | kChangeItems | kChangeSelection)) && edit->text() != text) edit->setText(text);
          if (what & kChangeLimit) edit->setMaxLength(info.limit ? static_cast<int>(std::min<UINT>(info.limit, 32767)) : 32767);
        }
        if (what & kChangeColours) Paint(widget, info);
        break;
      }
    }
  }

  static void Paint(QWidget* widget, const ControlInfo& info) {
    if (!info.hasColours) return;
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Text, ToColour(info.textColour));
    palette.setColor(QPalette::Base, ToColour(info.backColour));
    widget->setPalette(palette);
    if (auto* box = qobject_cast<QComboBox*>(widget)) {
      if (box->view()) box->view()->setPalette(palette);
      if (box->lineEdit()) box->lineEdit()->setPalette(palette);
    }
  }

  std::map<Key, Top> m_tops;
  std::map<Key, ControlEntry> m_controls;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) mvn::dialogs::View* mvn_dialogs_qt_backend(unsigned abi) {
  if (abi != mvn::dialogs::kBackendAbi) return nullptr;
  static QtBackend* backend = new QtBackend();
  return backend;
}

#include "helptips/tipwindow.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QTreeWidget>

#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"

namespace mvn::helptips {
namespace fw = mvn::framework;
using fw::DialogUnits;

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

QFont FontOf(const TipFont* f, const QFont& base) {
  QFont font = base;
  if (!f) return font;
  if (!f->face.empty()) font.setFamily(Q(f->face));
  if (f->size > 0) font.setPointSize(f->size);
  font.setBold(f->style & 1);
  font.setItalic(f->style & 2);
  font.setUnderline(f->style & 4);
  return font;
}

const char* kStatusTexts[] = {"Left click to select! Right Click to Change / Exit.", "Right click to change properties",
                              "Right click to Exit and Save"};

}  // namespace

bool TipEditAllowed(int editFlag) {
  if (editFlag == 0) return true;
  if (editFlag == 2) return false;
  std::string params = fw::Upper(fw::CommandParameters());
  return (" " + params + " ").find(" /EDITTIPS ") != std::string::npos;
}

TipWindowView::TipWindowView(TipWindowRequest request)
    : Window("TipWindow", request.caption, QRect(0, 0, 169, 60)),
      m_request(std::move(request)) {
  if (fw::Clip(m_request.tipFile).empty()) m_request.tipFile = kDefaultTipFile;
  m_current = {fw::CutUtf8(m_request.procedure, 50), fw::CutUtf8(m_request.controlName, 50),
               fw::CutUtf8(m_request.controlType, 20)};
  m_scroll = new QScrollArea;
  m_scroll->setFrameShape(QFrame::NoFrame);
  m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_content = new QWidget;
  m_scroll->setWidget(m_content);
  m_frame = Add(fw::ControlType::Box, "?Frame", m_scroll, QRect(0, 0, 169, 50));
  m_prev = AddButton("?Previous", "<", QRect(140, 1, 12, 9));
  m_next = AddButton("?Next", ">", QRect(154, 1, 12, 9));
  m_status = AddPrompt("?Status", "", QRect(2, 0, 165, 9));
  Hide(m_status);
  QWidget* tipText = nullptr;
  (void)tipText;
  ControlWidget(m_prev)->setToolTip("Click here to go to the previous Tip.");
  ControlWidget(m_next)->setToolTip("Click here to go to the next Tip.");
  connect(this, &Window::accepted, this, [this](int field) {
    if (field == m_prev) GoBack();
    if (field == m_next) GoForward();
  });
  connect(this, &Window::windowEvent, this, [this](int event, int) {
    if (event == kTipCloseEvent) Close();
    if (event == fw::EventCloseWindow) OnClosed();
  });
  auto* main = Widget();
  auto key = [&](const char* seq, auto fn) {
    auto* s = new QShortcut(QKeySequence(seq), main);
    connect(s, &QShortcut::activated, this, fn);
  };
  key("Alt+E", [this] { BeginTextEdit(); });
  key("Alt+C", [this] { BeginFormatting(); });
  key("Alt+H", [this] { ShowHelp(); });
  m_content->installEventFilter(this);
}

TipWindowView::~TipWindowView() {
  if (m_opened) TipFileClose(m_request.tipFile);
}

QLineEdit* TipWindowView::KeyEntry(int which) const { return which >= 0 && which < 3 ? m_keys[which] : nullptr; }

std::string TipWindowView::FileName() const { return m_request.tipFile; }

bool TipWindowView::Load() {
  if (TipFileOpen(m_request.tipFile) != fw::NoError) return false;
  m_opened = true;
  Lookup(m_current);
  // Placement beside the control the tip explains.
  QRect w = WindowPosition();
  int x = 0, y = 0;
  bool mx = false, my = false;
  TipPlace(m_request.storedX, m_request.storedY, w.width(), w.height(), !m_request.caption.empty(), &x, &y, &mx, &my,
           w.x(), w.y());
  if (mx || my) SetWindowPosition(QRect(x, y, w.width(), w.height()));
  return true;
}

void TipWindowView::Lookup(const HistoryEntry& request) {
  m_current = request;
  FileManager& hwt = TipDeclaration(m_request.tipFile, false);
  m_tip = std::make_unique<FoundTip>(TipLookup(hwt, {request.procedure, request.control, request.type, FileName()}));
  m_settings.Clear();  // another tip: its own settings are read
  Rebuild();
}

void TipWindowView::Clear() {
  for (auto& w : m_widgets)
    if (w) delete w.data();
  m_widgets.clear();
  delete m_marker;
  m_marker = nullptr;
  m_selected = -1;
}

QWidget* TipWindowView::ElementWidget(int element) const {
  if (element < 0 || element >= static_cast<int>(m_widgets.size())) return nullptr;
  return m_widgets[static_cast<size_t>(element)].data();
}

void TipWindowView::Rebuild() {
  Clear();
  std::string other = m_tip->record.Get("Other");
  m_width = TipWidth(&other);
  m_tip->record.Set("Other", other);
  QFont base = QApplication::font();
  int textWidth = m_width - 15;
  auto measureText = [&](std::string_view s) {
    return DialogUnits::XFromPixels(QFontMetrics(base).horizontalAdvance(Q(s)));
  };
  std::vector<std::string> lines = SplitTipLines(m_tip->record.Get("HelpTip"), textWidth, measureText);
  m_markup = TipParseFormat(lines);
  for (int line : m_markup.errorLines)
    fw::Message(std::string(kMarkupErrorText) + std::to_string(line), kMarkupErrorTitle);
  // A list kept from before the text was edited follows its elements and
  // is written back; then the list is read from the settings text, each
  // entry remembering the text of its element.
  if (!m_settings.Empty()) {
    RematchSettings(&m_settings, m_markup.elements);
    std::string rematched = WriteSettings(m_settings);
    if (rematched != m_tip->settings) {
      // Written back, so the next open formats the same words.
      m_tip->settings = rematched;
      if (m_tip->action == TipAction::Change && !m_tip->viaTypeTip)
        TipRewrite(TipDeclaration(m_request.tipFile, false), *m_tip, fw::Today());
    }
  }
  ReadSettings(m_tip->settings, &m_settings);
  for (SettingEntry& entry : m_settings.MutableEntries())
    for (const MarkupElement& e : m_markup.elements)
      if (fw::Upper(fw::Clip(e.name)) == fw::Upper(entry.control)) entry.text = fw::CutUtf8(e.text, 80);
  auto measure = [&](std::string_view s, const TipFont* f, int* w, int* h) {
    QFontMetrics fm(FontOf(f, base));
    *w = DialogUnits::XFromPixels(fm.horizontalAdvance(Q(s)));
    *h = std::max(8, DialogUnits::YFromPixels(fm.height()));
  };
  m_layout = TipLayout(m_markup.elements, m_settings, m_width, !m_history.Empty(), measure);
  for (size_t i = 0; i < m_layout.placed.size(); ++i) {
    const PlacedElement& p = m_layout.placed[i];
    const MarkupElement& e = m_markup.elements[static_cast<size_t>(p.element)];
    QWidget* w = nullptr;
    if (p.kind == "String" || p.kind == "BULLET" || p.kind == "HTTP" || p.kind == "LNK") {
      auto* label = new QLabel(m_content);
      label->setTextFormat(Qt::PlainText);  // tip text is never markup of Qt's
      label->setText(Q(p.text));
      label->setAttribute(Qt::WA_TranslucentBackground);
      label->setFont(FontOf(p.hasFont ? &p.font : nullptr, base));
      QPalette pal = label->palette();
      if (p.hasFont) pal.setColor(QPalette::WindowText, QColor::fromRgb(p.font.colour));
      label->setPalette(pal);
      if (p.kind == "HTTP" || p.kind == "LNK") label->setCursor(Qt::PointingHandCursor);
      w = label;
    } else if (p.kind == "BUTTON") {
      auto* b = new QToolButton(m_content);
      b->setCursor(Qt::PointingHandCursor);
      b->setToolTip(Q(p.tooltip));
      b->setIcon(b->style()->standardIcon(QStyle::SP_ArrowRight));
      int index = static_cast<int>(i);
      connect(b, &QToolButton::clicked, this, [this, index] {
        if (m_formatting)
          SelectElement(index);
        else
          RunAction(index);
      });
      w = b;
    } else if (p.kind == "REGION") {
      w = new QWidget(m_content);
      w->setCursor(Qt::PointingHandCursor);
      w->setToolTip(Q(p.tooltip));
      w->setAttribute(Qt::WA_TranslucentBackground);
    } else if (p.kind == "Line") {
      auto* f = new QFrame(m_content);
      f->setFrameShape(QFrame::HLine);
      f->setFrameShadow(QFrame::Sunken);
      w = f;
    }
    if (w) {
      w->setObjectName(Q(e.name));
      w->setGeometry(DialogUnits::ToPixels(QRect(p.x, p.y, std::max(1, p.width), std::max(1, p.height))));
      w->installEventFilter(this);
      w->show();
    }
    m_widgets.push_back(w);
  }
  int contentPx = DialogUnits::YToPixels(m_layout.contentHeight + 10);
  m_content->resize(DialogUnits::XToPixels(m_width), contentPx);
  int height = m_layout.windowHeight;
  SetPosition(m_frame, QRect(0, 0, m_width, height));
  QRect w = WindowPosition();
  SetWindowPosition(QRect(w.x(), w.y(), m_width, height));
  Hide(m_prev, !m_layout.historyButtons);
  Hide(m_next, !m_layout.historyButtons);
  ControlWidget(m_prev)->raise();
  ControlWidget(m_next)->raise();
}

bool TipWindowView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::MouseButtonPress) return Window::eventFilter(watched, event);
  auto* me = static_cast<QMouseEvent*>(event);
  int index = -1;
  for (size_t i = 0; i < m_widgets.size(); ++i)
    if (m_widgets[i] == watched) index = static_cast<int>(i);
  if (m_formatting) {
    if (me->button() == Qt::LeftButton) {
      SelectElement(index);
      return true;
    }
    if (me->button() == Qt::RightButton) {
      std::string menu = m_selected < 0 ? "~Properties|-|Save and Exit|Exit" : "Properties|-|Save and Exit|Exit";
      int choice = fw::Popup(menu);
      if (choice == 1) OpenProperties();
      if (choice == 2) FinishFormatting(true);
      if (choice == 3) FinishFormatting(false);
      return true;
    }
    return false;
  }
  if (index >= 0 && me->button() == Qt::LeftButton) {
    const std::string& kind = m_layout.placed[static_cast<size_t>(index)].kind;
    if (kind == "REGION" || kind == "HTTP" || kind == "LNK") {
      RunAction(index);
      return true;
    }
  }
  return Window::eventFilter(watched, event);
}

void TipWindowView::RunBrowser(const std::string& target) {
  std::string browser, line;
  if (!BrowserCommand(&browser) || !BrowserCommandLine(browser, target, &line)) {
    fw::Message(kNoBrowserText);
    return;
  }
  // "/HWTTEST" on the command line shows the command found first.
  if ((" " + fw::Upper(fw::CommandParameters()) + " ").find(" /HWTTEST ") != std::string::npos &&
      fw::Message("Hintwell test result : Browser = " + browser, "", fw::Icon::Information,
                  fw::ButtonOk | fw::ButtonCancel) == fw::ButtonCancel)
    fw::Halt(0);
  if (fw::Run(line, false) < 0) fw::Message(kNoBrowserText);
}

void TipWindowView::RunAction(int index) {
  if (index < 0 || index >= static_cast<int>(m_layout.placed.size())) return;
  int element = m_layout.placed[static_cast<size_t>(index)].element;
  // A region stands for the link before it.
  if (m_markup.elements[static_cast<size_t>(element)].type == "REGION" && element > 0) --element;
  const MarkupElement& e = m_markup.elements[static_cast<size_t>(element)];
  if (e.type == "HTTP") {
    RunBrowser(e.text);
  } else if (e.type == "BUTTON") {
    const SettingEntry* call = m_settings.Find(e.name, "CALL");
    if (!call) return;
    CallSetting c = ParseCall(call->value);
    if (c.kind == "EXE") {
      if (call->cut) {
        fw::Message("The command line of this button is too long and is not run.", "Hintwell Tip");
        return;
      }
      if (!c.command.empty() && fw::Run(c.command, false) < 0)
        fw::Message("Cannot run " + c.command + "|" + fw::ErrorText(), "Hintwell Tip");
    } else if (c.kind == "MSG") {
      Close();
      if (fw::Started(c.thread)) fw::PostTo(c.thread, c.event);
    } else if (c.kind == "HLP") {
      m_helpFile = c.helpFile;
      m_helpTopic = c.topic;
      Close();
    }
  } else if (e.type == "LNK") {
    m_history.Push(m_current);
    HistoryEntry next;
    std::string ctl = m_settings.Value(e.name, "LINKTIPCTL");
    if (ctl.empty()) {
      std::string name;
      for (char ch : e.text)
        if (ch != ' ') name += ch;
      next = {"", name, ""};
      m_settings.Store({e.name, "LINKTIPPROC", "", e.text});
      m_settings.Store({e.name, "LINKTIPCTL", name, e.text});
      m_tip->settings = WriteSettings(m_settings);
      TipRewrite(TipDeclaration(m_request.tipFile, false), *m_tip, fw::Today());
      if (m_request.requestingWindow && fw::Started(m_request.requestingWindow))
        fw::PostTo(m_request.requestingWindow, kTipChangedEvent);
    } else {
      next = {m_settings.Value(e.name, "LINKTIPPROC"), ctl, ""};
    }
    m_history.Push(next);
    m_settings.Clear();
    Lookup(next);
  }
}

void TipWindowView::GoBack() {
  HistoryEntry e;
  if (m_history.Back(&e)) {
    m_settings.Clear();
    Lookup(e);
  }
}

void TipWindowView::GoForward() {
  HistoryEntry e;
  if (m_history.Forward(&e)) {
    m_settings.Clear();
    Lookup(e);
  }
}

void TipWindowView::ShowHelp() {
  const char* topic = m_textEdit ? "Help Tip Text Editing" : m_formatting ? "Control Formatting" : "Contents";
  std::string path = HelpTopicPath("Hintwell.hlp", topic);
  RunBrowser("file://" + path);
}

void TipWindowView::OnClosed() {
  if (!m_helpFile.empty()) {
    std::string path = HelpTopicPath(m_helpFile, m_helpTopic);
    m_helpFile.clear();
    RunBrowser("file://" + path);
  }
}

bool TipWindowView::BeginTextEdit() {
  if (!TipEditAllowed(m_request.editFlag) || m_textEdit || m_formatting) return false;
  m_textEdit = true;
  SetCaption("Edit Help Tip...");
  if (!m_editPanel) {
    m_editPanel = new QWidget(Widget());
    auto* form = new QFormLayout;
    const char* prompts[] = {"&Procedure Name:", "&Control Name:", "Control &Type:"};
    int widths[] = {50, 50, 20};
    for (int i = 0; i < 3; ++i) {
      m_keys[i] = new QLineEdit;
      m_keys[i]->setMaxLength(widths[i]);
      auto* label = new QLabel(prompts[i]);
      label->setBuddy(m_keys[i]);
      form->addRow(label, m_keys[i]);
    }
    m_textEntry = new QPlainTextEdit;
    auto* box = new QVBoxLayout(m_editPanel);
    box->setContentsMargins(4, 4, 4, 4);
    box->addLayout(form);
    box->addWidget(m_textEntry, 1);
    auto* buttons = new QDialogButtonBox;
    QPushButton* save = buttons->addButton("&Save", QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton("&Cancel", QDialogButtonBox::RejectRole);
    connect(save, &QPushButton::clicked, this, [this] { SaveText(); });
    connect(cancel, &QPushButton::clicked, this, [this] { CancelText(); });
    box->addWidget(buttons);
  }
  m_keys[0]->setText(Q(m_tip->record.Clipped("ProcedureName")));
  m_keys[1]->setText(Q(m_tip->record.Clipped("ControlName")));
  m_keys[2]->setText(Q(m_tip->record.Clipped("ControlType")));
  m_textEntry->setPlainText(Q(m_tip->record.Get("HelpTip")));
  QRect w = WindowPosition();
  SetWindowPosition(QRect(w.x(), w.y(), std::max(m_width, 200), 165));
  m_editPanel->setGeometry(QRect(QPoint(0, 0), Widget()->size()));
  m_editPanel->show();
  m_editPanel->raise();
  m_scroll->hide();
  return true;
}

SaveOutcome TipWindowView::SaveText() {
  if (!m_textEdit) return SaveOutcome::NothingToDo;
  Record& r = m_tip->record;
  r.Set("ProcedureName", S(m_keys[0]->text()));
  r.Set("ControlName", S(m_keys[1]->text()));
  r.Set("ControlType", S(m_keys[2]->text()));
  std::string text = S(m_textEntry->toPlainText());
  r.Set("HelpTip", text);
  if (m_request.variableWidth) {
    std::string other = r.Get("Other");
    SetTipWidth(&other, fw::Clip(text).empty() ? m_width : DialogUnits::XFromPixels(Widget()->width()));
    TipWidth(&other);
    r.Set("Other", other);
  }
  bool wasInsert = m_tip->action == TipAction::Insert;
  SaveOutcome outcome = TipSave(TipDeclaration(m_request.tipFile, false), *m_tip, fw::Today());
  if (outcome == SaveOutcome::MissingKeys || outcome == SaveOutcome::Failed) return outcome;  // stays in editing
  if (wasInsert && outcome == SaveOutcome::Inserted && m_request.requestingWindow &&
      fw::Started(m_request.requestingWindow))
    fw::PostTo(m_request.requestingWindow, kTipChangedEvent);
  m_current = {r.Clipped("ProcedureName"), r.Clipped("ControlName"), r.Clipped("ControlType")};
  LeaveTextEdit();
  return outcome;
}

void TipWindowView::CancelText() {
  if (!m_textEdit) return;
  m_tip->record = m_tip->copy;
  if (m_tip->viaTypeTip) {
    m_tip->record.Set("ProcedureName", m_current.procedure);
    m_tip->record.Set("ControlName", m_current.control);
    m_tip->record.Set("ControlType", m_current.type);
  }
  LeaveTextEdit();
}

void TipWindowView::LeaveTextEdit() {
  m_textEdit = false;
  if (m_editPanel) m_editPanel->hide();
  m_scroll->show();
  SetCaption(m_request.caption);
  Rebuild();
}

bool TipWindowView::BeginFormatting() {
  if (!TipEditAllowed(m_request.editFlag) || m_textEdit || m_formatting) return false;
  m_formatting = true;
  SetText(m_status, kStatusTexts[0]);
  Hide(m_status, false);
  m_marker = new QFrame(m_content);
  static_cast<QFrame*>(m_marker)->setFrameShape(QFrame::Box);
  m_marker->setStyleSheet("color: red");
  m_marker->hide();
  return true;
}

void TipWindowView::SelectElement(int index) {
  if (!m_formatting) return;
  m_selected = -1;
  if (index >= 0 && index < static_cast<int>(m_layout.placed.size())) {
    const PlacedElement& p = m_layout.placed[static_cast<size_t>(index)];
    if (p.kind != "Line") m_selected = p.kind == "REGION" && p.element > 0 ? p.element - 1 : p.element;
  }
  if (m_selected >= 0 && m_marker) {
    QWidget* w = ElementWidget(m_selected);
    if (w) m_marker->setGeometry(w->geometry().adjusted(-1, -1, 1, 1));
    m_marker->show();
    m_marker->raise();
    SetText(m_status, kStatusTexts[1]);
  } else if (m_marker) {
    m_marker->hide();
    SetText(m_status, kStatusTexts[0]);
  }
}

bool TipWindowView::SetProperty(const std::string& property, const std::string& value) {
  if (m_selected < 0) return false;
  const MarkupElement& e = m_markup.elements[static_cast<size_t>(m_selected)];
  if (!IsStorableSetting(value) || value.size() > 60) {
    fw::Message("The value cannot be stored: it is longer than 60 bytes or holds one of [ ] ; \xC2\xAB.",
                "Hintwell Tip");
    return false;
  }
  if (fw::Clip(value).empty()) {
    m_settings.Remove(e.name, property);
    return true;
  }
  m_settings.Store({e.name, property, value, e.text});
  SetText(m_status, kStatusTexts[2]);
  return true;
}

bool TipWindowView::OpenProperties() {
  if (m_selected < 0) return false;
  const MarkupElement& e = m_markup.elements[static_cast<size_t>(m_selected)];
  QDialog dialog(Widget());
  dialog.setObjectName("TipProperties");
  dialog.setWindowTitle("Properties");
  auto* form = new QFormLayout(&dialog);
  QLineEdit* tooltip = nullptr;
  QComboBox* kind = nullptr;
  // The button page: one entry per value, each under its own label; the
  // call type shows the rows of its kind.
  QLineEdit* command = nullptr;
  QLineEdit* message = nullptr;
  QLineEdit* thread = nullptr;
  QLineEdit* helpFile = nullptr;
  QLineEdit* helpTopic = nullptr;
  QLineEdit* font = nullptr;
  QTreeWidget* link = nullptr;
  auto entry = [](const std::string& text, const char* name) {
    auto* edit = new QLineEdit(Q(text));
    edit->setObjectName(name);
    edit->setMaxLength(80);
    return edit;
  };
  if (e.type == "BUTTON" || e.type == "HTTP" || e.type == "LNK") {
    tooltip = new QLineEdit(Q(m_settings.Value(e.name, "TOOLTIP")));
    tooltip->setObjectName("Tooltip");
    if (tooltip->text().isEmpty() && e.type == "BUTTON") tooltip->setText("Click here...");
    tooltip->setMaxLength(60);
    form->addRow("&Tooltip:", tooltip);
  }
  if (e.type == "BUTTON") {
    kind = new QComboBox;
    kind->setObjectName("CallType");
    kind->addItems({"EXE-Call an Executable", "MSG-Post a Message", "HLP-Call a Help Topic"});
    CallSetting c = ParseCall(m_settings.Value(e.name, "CALL"));
    kind->setCurrentIndex(c.kind == "MSG" ? 1 : c.kind == "HLP" ? 2 : 0);
    command = entry(c.kind == "EXE" ? c.command : std::string(), "Command");
    message = entry(c.kind == "MSG" ? std::to_string(c.event) : std::string(), "Message");
    thread = entry(c.kind == "MSG" ? std::to_string(c.thread) : std::string(), "Thread");
    helpFile = entry(c.kind == "HLP" ? c.helpFile : std::string(), "HelpFile");
    helpTopic = entry(c.kind == "HLP" ? c.topic : std::string(), "HelpTopic");
    form->addRow("Call Type", kind);
    form->addRow("&Command line:", command);
    form->addRow("&Message:", message);
    form->addRow("&Thread:", thread);
    form->addRow("Help &File:", helpFile);
    form->addRow("Help &Topic:", helpTopic);
    auto showKind = [form, kind, command, message, thread, helpFile, helpTopic] {
      int k = kind->currentIndex();
      form->setRowVisible(command, k == 0);
      form->setRowVisible(message, k == 1);
      form->setRowVisible(thread, k == 1);
      form->setRowVisible(helpFile, k == 2);
      form->setRowVisible(helpTopic, k == 2);
    };
    showKind();
    connect(kind, &QComboBox::currentIndexChanged, &dialog, showKind);
  } else if (e.type == "String") {
    // The font chooser: face, size and style from the font dialog, the
    // colour from the colour dialog.
    font = new QLineEdit(Q(m_settings.Value(e.name, "FONT")));
    font->setObjectName("Font");
    font->setPlaceholderText("face,size,colour,style");
    auto* choose = new QPushButton("...");
    choose->setObjectName("ChooseFont");
    auto* row = new QHBoxLayout;
    row->addWidget(font, 1);
    row->addWidget(choose);
    form->addRow("&Font:", row);
    connect(choose, &QPushButton::clicked, &dialog, [&dialog, font] {
      TipFont current = ParseFontSetting(S(font->text()));
      QFont start = QApplication::font();
      if (!current.face.empty()) start.setFamily(Q(current.face));
      if (current.size > 0) start.setPointSize(current.size);
      start.setBold(current.style & 1);
      start.setItalic(current.style & 2);
      start.setUnderline(current.style & 4);
      QFontDialog fonts(start, &dialog);
      fonts.setObjectName("TipFontDialog");
      fonts.setOption(QFontDialog::DontUseNativeDialog);
      if (fonts.exec() != QDialog::Accepted) return;
      QFont chosen = fonts.selectedFont();
      QColorDialog colours(QColor::fromRgb(current.colour), &dialog);
      colours.setObjectName("TipColourDialog");
      colours.setOption(QColorDialog::DontUseNativeDialog);
      if (colours.exec() != QDialog::Accepted) return;
      TipFont f;
      f.face = S(chosen.family());
      f.size = chosen.pointSize() > 0 ? chosen.pointSize() : current.size;
      f.colour = colours.selectedColor().rgb() & 0xFFFFFF;
      f.style = (chosen.bold() ? 1 : 0) | (chosen.italic() ? 2 : 0) | (chosen.underline() ? 4 : 0);
      font->setText(Q(FontSetting(f)));
    });
  } else if (e.type == "LNK") {
    // Every tip of the file, one row each: the tip to link to.
    link = new QTreeWidget;
    link->setObjectName("LinkToTip");
    link->setRootIsDecorated(false);
    link->setColumnCount(3);
    link->setHeaderLabels({"Control Name", "Procedure Name", "Control Type"});
    const int chars[] = {50, 50, 20};
    const int charWidth = QFontMetrics(link->font()).averageCharWidth();
    for (int i = 0; i < 3; ++i) link->setColumnWidth(i, chars[i] * charWidth / 2);
    link->setMinimumWidth((chars[0] + chars[1] + chars[2]) * charWidth / 2);
    FileManager& lin = TipDeclaration(m_request.tipFile, true);
    const std::string linkedProc = m_settings.Value(e.name, "LINKTIPPROC");
    const std::string linkedCtl = m_settings.Value(e.name, "LINKTIPCTL");
    if (lin.Set("ControlNameKey") != fw::NoError) {
      TipWarning(36, m_request.tipFile);
    } else {
      int rc;
      while ((rc = lin.Next()) == fw::NoError) {
        Record& r = lin.Buffer();
        auto* item = new QTreeWidgetItem(
            link, QStringList{Q(r.Clipped("ControlName")), Q(r.Clipped("ProcedureName")), Q(r.Clipped("ControlType"))});
        if (!linkedCtl.empty() && r.Clipped("ControlName") == linkedCtl && r.Clipped("ProcedureName") == linkedProc)
          link->setCurrentItem(item);
      }
      if (rc != fw::RecordNotAvailableError) TipWarning(35, m_request.tipFile);
    }
    form->addRow("Link to Tip:", link);
  } else {
    return false;  // bullets have no properties
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Cancel)->setText("&Cancel");
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return false;
  SettingsList before = m_settings;
  bool ok = true;
  if (tooltip) ok = ok && SetProperty("TOOLTIP", S(tooltip->text()));
  if (kind) {
    std::string k = S(kind->currentText()).substr(0, 3);
    std::string value = k == "EXE"   ? "EXE" + S(command->text())
                        : k == "MSG" ? "MSG" + S(message->text()) + "," + S(thread->text())
                                     : "HLP" + S(helpFile->text()) + "," + S(helpTopic->text());
    ok = ok && SetProperty("CALL", value);
  } else if (font) {
    ok = ok && SetProperty("FONT", S(font->text()));
  }
  if (link && link->currentItem()) {
    QTreeWidgetItem* target = link->currentItem();
    ok = ok && SetProperty("LINKTIPPROC", S(target->text(1))) && SetProperty("LINKTIPCTL", S(target->text(0)));
  }
  if (!ok) {
    m_settings = before;
    return false;
  }
  m_tip->settings = WriteSettings(m_settings);
  return TipRewrite(TipDeclaration(m_request.tipFile, false), *m_tip, fw::Today()) != SaveOutcome::Failed;
}

void TipWindowView::FinishFormatting(bool save) {
  if (!m_formatting) return;
  if (save) {
    m_tip->settings = WriteSettings(m_settings);
    if (TipRewrite(TipDeclaration(m_request.tipFile, false), *m_tip, fw::Today()) == SaveOutcome::Failed)
      return;  // stays in formatting
  } else {
    m_settings.Clear();  // the changes are dropped: read again from the text
  }
  m_formatting = false;
  Hide(m_status);
  Rebuild();
}

int TipWindow(const TipWindowRequest& request) {
  bool failed = false;
  int id = fw::Start(
      [&]() -> std::unique_ptr<fw::Window> {
        auto view = std::make_unique<TipWindowView>(request);
        if (!view->Load()) {
          failed = true;
          return nullptr;
        }
        return view;
      },
      request.controlType);
  // A tip file that could not be opened has been reported: -1 tells the
  // request not to try again on its own thread (which would report it
  // twice).
  return failed ? -1 : id;
}

}  // namespace mvn::helptips

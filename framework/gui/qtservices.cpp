#include "framework/gui/qtservices.h"

#include "framework/core/errors.h"
#include "framework/core/filemanager.h"

#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QSpacerItem>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace mvn::framework {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }

struct ButtonMap {
  unsigned ours;
  QMessageBox::StandardButton qt;
};
const ButtonMap kButtons[] = {
    {ButtonOk, QMessageBox::Ok},         {ButtonYes, QMessageBox::Yes},     {ButtonNo, QMessageBox::No},
    {ButtonAbort, QMessageBox::Abort},   {ButtonRetry, QMessageBox::Retry}, {ButtonIgnore, QMessageBox::Ignore},
    {ButtonCancel, QMessageBox::Cancel}, {ButtonHelp, QMessageBox::Help},
};

// A message box is sized to its text; a window manager cuts a longer title
// ("Please n… to save"). The box is made wide enough for its title and the
// title bar's buttons.
constexpr int kTitleBarButtons = 120;
void RoomForTitle(QMessageBox& box) {
  const int need = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(box.windowTitle()) +
                   kTitleBarButtons;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

}  // namespace

unsigned QtServices::Message(const MessageRequest& request) {
  QMessageBox box(QApplication::activeWindow());
  box.setObjectName("MessageBox");
  box.setWindowTitle(Q(request.caption));
  // Texts come from files, records and users: never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(Q(MessageLines(request.text)));
  switch (request.icon) {
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Hand: box.setIcon(QMessageBox::Critical); break;
    case Icon::None: break;
  }
  QMessageBox::StandardButtons buttons;
  for (const auto& b : kButtons)
    if (request.buttons & b.ours) buttons |= b.qt;
  if (!buttons) buttons = QMessageBox::Ok;
  box.setStandardButtons(buttons);
  unsigned def = request.defaultButton ? request.defaultButton : FirstButton(request.buttons);
  for (const auto& b : kButtons)
    if (def == b.ours && (buttons & b.qt)) box.setDefaultButton(b.qt);
  RoomForTitle(box);
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  QMessageBox::StandardButton pressed = clicked ? box.standardButton(clicked) : QMessageBox::NoButton;
  for (const auto& b : kButtons)
    if (b.qt == pressed) return b.ours;
  // Closed without a button: Cancel when offered, else No, else the default.
  if (request.buttons & ButtonCancel) return ButtonCancel;
  if (request.buttons & ButtonNo) return ButtonNo;
  return def;
}

int QtServices::Popup(const std::vector<PopupItem>& items, int x, int y) {
  // The menu belongs to the control with the keyboard focus, as a context
  // menu does: a line edit does not take its opening for leaving the field
  // (no editing-finished, which would accept what is being typed). Its
  // owner may go while it is open (the window closes): then nothing was
  // chosen.
  QWidget* owner = QApplication::focusWidget();
  QPointer<QMenu> menu = new QMenu(owner ? owner : QApplication::activeWindow());
  menu->setObjectName("PopupMenu");
  std::vector<QAction*> actions;
  for (const PopupItem& item : items) {
    if (item.kind == PopupItem::Separator) {
      menu->addSeparator();
      continue;
    }
    QString text = Q(item.text);
    if (item.literal) text.replace("&", "&&");
    QAction* action = menu->addAction(text);
    action->setEnabled(!item.greyed);
    if (item.checked) {
      action->setCheckable(true);
      action->setChecked(true);
    }
    actions.push_back(action);
  }
  QPoint at = (x < 0 || y < 0) ? QCursor::pos() : QPoint(x, y);
  QAction* chosen = menu->exec(at);
  if (!menu) return 0;
  int number = 0;
  for (size_t i = 0; i < actions.size(); ++i)
    if (actions[i] == chosen) number = static_cast<int>(i) + 1;
  delete menu.data();
  return number;
}

QStringList QtNameFilters(const std::string& filters) {
  QStringList out;
  for (const FileFilter& filter : ParseFileFilters(filters)) {
    QStringList patterns;
    // The label shows the patterns as given; the dialog matches them
    // without case (QtServices::FileDialog).
    for (const std::string& p : filter.patterns) patterns << (p == "*.*" ? QString("*") : Q(p));
    out << QString("%1 (%2)").arg(Q(filter.name), patterns.join(' '));
  }
  return out;
}

bool QtServices::FileDialog(const FileDialogRequest& request, std::string* path) {
  QFileDialog dialog(QApplication::activeWindow(), Q(request.title), Q(request.directory));
  dialog.setObjectName("FileDialog");
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  if (request.mode == FileDialogMode::Save) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
  }
  QStringList filters = QtNameFilters(request.filters);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  // "*.csv" also lists "LIST.CSV": names from other systems come in
  // either case.
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  // The question before a file is replaced is asked here, in a box with
  // room for the dialog's title.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    const QString chosen = dialog.selectedFiles().first();
    if (request.mode == FileDialogMode::Save && QFileInfo::exists(chosen)) {
      QMessageBox box(QMessageBox::Warning, dialog.windowTitle(),
                      QFileInfo(chosen).fileName() + "\nalready exists. Do you want to replace it?",
                      QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
      box.setObjectName("OverwriteQuestion");
      box.setTextFormat(Qt::PlainText);
      box.setDefaultButton(QMessageBox::No);
      RoomForTitle(box);
      if (box.exec() != QMessageBox::Yes) continue;
    }
    if (path) *path = chosen.toUtf8().toStdString();
    return true;
  }
}

std::unique_ptr<Progress> QtServices::OpenProgress(const ProgressRequest& request) {
  auto window = std::make_unique<ProgressWindow>(request);
  window->show();
  QCoreApplication::processEvents();
  return window;
}

void InstallQtServices() {
  static QtServices services;
  InstallServices(&services);
  InstallFileErrorMessages();
}

std::string FileErrorText(const std::string& fileName, int code, const std::string& text) {
  return "Error (" + text + ") accessing " + (fileName.empty() ? std::string("a file") : fileName) +
         "|Error code: " + std::to_string(code);
}

void InstallFileErrorMessages() {
  FileManager::SetErrorReporter([](const FileManager& file, int code, const std::string& text) {
    MessageRequest request;
    request.text = FileErrorText(file.Name(), code, text.empty() ? StandardErrorText(code) : text);
    request.caption = "File Error";
    request.icon = Icon::Exclamation;
    Services().Message(request);
  });
}

// ---------------------------------------------------------------------------

ProgressWindow::ProgressWindow(const ProgressRequest& request) : QDialog(QApplication::activeWindow()) {
  setObjectName("ProgressWindow");
  setWindowTitle(Q(request.title));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  m_text = new QLabel(Q(request.text));
  m_bar = new QProgressBar();
  m_bar->setObjectName("Thermometer");
  m_bar->setTextVisible(false);
  m_bar->setRange(0, 100);
  m_percent = new QLabel(Q(PercentText(0, request.total)));
  m_percent->setObjectName("Percent");
  m_percent->setAlignment(Qt::AlignCenter);
  m_cancel = new QPushButton("Cancel");
  m_cancel->setObjectName("Cancel");
  layout->addWidget(m_text);
  layout->addWidget(m_bar);
  layout->addWidget(m_percent);
  layout->addWidget(m_cancel, 0, Qt::AlignHCenter);
  connect(m_cancel, &QPushButton::clicked, this, [this] { m_cancelled = true; });
  m_total = request.total;
  resize(300, sizeHint().height());
}

void ProgressWindow::SetTotal(int64_t total) { m_total = total; }

bool ProgressWindow::Update(int64_t done) {
  int percent = m_total > 0 ? static_cast<int>(done >= m_total ? 100 : done * 100 / m_total) : 0;
  if (percent != m_bar->value()) {
    m_bar->setValue(percent);
    m_percent->setText(Q(PercentText(done, m_total)));
  }
  QCoreApplication::processEvents();
  return !m_cancelled;
}

void ProgressWindow::reject() { m_cancelled = true; }

}  // namespace mvn::framework

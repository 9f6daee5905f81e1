// ProgramMain: the framework, the dictionary, the tip set-up, the INI file,
// the language and tip file, the main window, and the shut-down.
#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "client/app/procedures.h"
#include "client/core/request.h"
#include "client/ui/language.h"
#include "client/ui/windowhooks.h"
#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/qtservices.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"
#include "helptips/hooks/winhooks.h"
#include "helptips/procedures.h"

namespace mvn::client {

namespace fw = mvn::framework;

namespace {

// A message that stops the program: on standard error always, and in a
// message box when there is a screen to show it on.
void StopMessage(const std::string& text) {
  std::fprintf(stderr, "dashpost: %s\n", fw::MessageLines(text).c_str());
  if (QGuiApplication::platformName() != "offscreen") fw::Message(text, "Dashpost", fw::Icon::Hand);
}

// A message that does not stop the program: on standard error, and in a
// message box when there is a screen.
void NoteMessage(const std::string& text) {
  std::fprintf(stderr, "dashpost: %s\n", fw::MessageLines(text).c_str());
  if (QGuiApplication::platformName() != "offscreen") fw::Message(text, "Dashpost", fw::Icon::Exclamation);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A printed document the print road handed to the client (a file in the
// spool folder) that was declined or not sent: nobody else removes it.
// Only a regular file is removed, by its resolved name.
void RemoveUnsentPrintedDocument(const std::string& path) {
  if (!InSpoolFolder(path)) return;
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return;
  struct stat st {};
  if (::lstat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (::unlink(resolved) != 0)
    std::fprintf(stderr, "dashpost: the unsent document %s could not be removed: %s\n", resolved,
                 std::strerror(errno));
}

std::string ExePath(const char* argv0) {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0 ? argv0 : "dashpost";
}

// The program's one tip window. A request gets it with everything the
// request and the set-up entries say: the control, its procedure and tip
// file, the stored place, the caption, the variable width, the edit flag
// and the started window that asked (which hears of a saved new tip). A
// new request closes the tip window that is open; the new one is raised
// beside the control it explains, and Escape or a click into the window
// that asked closes it. The hooks ask a second, modal time when the first
// request opened nothing; the tip window has then already told why, so the
// second request does nothing.
class TipPresenter : public QObject {
 public:
  explicit TipPresenter(int mainId) : m_mainId(mainId) { qApp->installEventFilter(this); }
  ~TipPresenter() override { qApp->removeEventFilter(this); }

  int Open(const mvn::helptips::TipRequest& request, bool modal) {
    const bool ide = fw::Upper(fw::Clip(request.controlType)) == "IDE";
    if (modal && !ide) return 0;
    if (fw::Window* open = fw::Started(m_id)) open->Close();
    m_id = 0;
    const mvn::helptips::HintwellSettings& settings = mvn::helptips::Settings();
    mvn::helptips::TipWindowRequest tip;
    tip.procedure = request.procedure;
    tip.controlName = request.control;
    tip.controlType = request.controlType;
    tip.tipFile = request.tipFile;
    tip.storedX = request.x;
    tip.storedY = request.y;
    tip.editFlag = settings.edit;
    tip.caption = settings.caption;
    tip.variableWidth = settings.variableWidth == 1;
    if (m_mainId && request.window && request.window == fw::Started(m_mainId)) tip.requestingWindow = m_mainId;
    int id = mvn::helptips::TipWindow(tip);
    fw::Window* shown = fw::Started(id);
    if (!shown) return id;
    m_id = id;
    m_asker = request.window ? request.window->Widget() : nullptr;
    QWidget* widget = shown->Widget();
    AboveTheModalWindow(widget);
    if (request.window && request.controlField && request.window->Has(request.controlField))
      PlaceBeside(widget, request.window->ControlWidget(request.controlField));
    // Closed, it gives the keys back to the window that asked.
    QPointer<QWidget> asker = m_asker;
    QObject::connect(shown, &fw::Window::windowEvent, widget, [asker](int event, int) {
      if (event == fw::EventCloseWindow && asker && asker->isVisible()) asker->activateWindow();
    });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), widget);
    QObject::connect(escape, &QShortcut::activated, shown, [shown] { shown->Close(); });
    widget->raise();
    widget->activateWindow();
    return id;
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonPress || !watched->isWidgetType() || !m_asker) return false;
    fw::Window* open = fw::Started(m_id);
    if (!open) return false;
    // Only a press into the window that asked closes the tip: the tip's
    // own dialogs and message boxes leave it open.
    if (static_cast<QWidget*>(watched)->window() == m_asker.data())
      QTimer::singleShot(0, open, [open] { open->Close(); });
    return false;
  }

 private:
  // A tip asked for while a modal window is up (a dialog's F1 or Help)
  // would be blocked by that window: nobody could type into it, click its
  // links or close it. It becomes a transient window of the modal one, so
  // it takes keys and clicks and stays above it.
  static void AboveTheModalWindow(QWidget* tip) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == tip) return;
    tip->winId();
    modal->winId();
    if (tip->windowHandle() && modal->windowHandle()) tip->windowHandle()->setTransientParent(modal->windowHandle());
  }

  // Right of the control, else left of it, on the control's screen.
  static void PlaceBeside(QWidget* tip, QWidget* control) {
    if (!control) return;
    QRect frame = tip->frameGeometry();
    QRect screen = control->screen() ? control->screen()->availableGeometry() : QRect(0, 0, 1024, 768);
    QPoint topLeft = control->mapToGlobal(QPoint(0, 0));
    int x = topLeft.x() + control->width() + 6;
    if (x + frame.width() > screen.right()) x = topLeft.x() - frame.width() - 6;
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() - frame.width()));
    int y = std::clamp(topLeft.y(), screen.top(), std::max(screen.top(), screen.bottom() - frame.height()));
    tip->move(x, y);
  }

  int m_mainId;
  int m_id = 0;
  QPointer<QWidget> m_asker;
};

// Deletes the windows whose deletion is pending (a started window that
// closed), while the application still exists.
void DeletePendingWindows() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

}  // namespace

int ProgramMain(int argc, char** argv, const std::function<void(fw::Window&, MainContext&)>& driver) {
  QApplication app(argc, argv);
  fw::InstallQtServices();
  Dictionary& dictionary = InitDictionary();
  fw::OnHalt([] { KillDictionary(); });
  mvn::helptips::SetTraceSwitches(argc, argv);
  mvn::helptips::HintwellSetEdit(0);
  mvn::helptips::HintwellSetWhatsThisText("&What's This?");
  mvn::helptips::HintwellSetup(1);
  mvn::helptips::HintwellSetCaption("A Tip ...");
  mvn::helptips::HintwellSetVariableWidth(1);

  const std::string exePath = ExePath(argv[0]);
  std::string iniPath = FindClientIni(exePath);
  if (iniPath.empty()) {
    // The places looked at follow, so an installed client's first start
    // says where its INI file is expected.
    std::string places;
    for (const std::string& place : IniPlacesLookedAt(exePath)) places += "|  " + place;
    StopMessage("The application's ini file does not exist or (Pathname) not set in the file, |Please check and retry "
                "later||The ini file was looked for in:" + places);
    KillDictionary();
    return 1;
  }
  fw::IniFile ini(iniPath);
  fw::Window::SetSettingsFile(&ini);
  // Offscreen the windows are placed nowhere a person sees: their
  // placement is not kept for the next run on a screen.
  const QString platform = QGuiApplication::platformName();
  fw::Window::SetPlacementSaved(platform != "offscreen" && platform != "minimal");
  SetLanguage(ini.Fetch("Default", "DefaultLanguage"), iniPath);
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
    if (fw::Lower(argv[i]) == "/l") SetCaptureTexts(true);
  }

  MainContext ctx;
  ctx.dictionary = &dictionary;
  ctx.ini = &ini;
  ctx.iniPath = iniPath;
  ClientTipFile() = fw::Clip(ini.Fetch("Files", "HintwellFullPathName"));
  if (ClientTipFile().empty()) ClientTipFile() = "hintwell.hwt";
  ctx.mainAttachment = MainAttachmentFromArguments(arguments);
  std::string bookProblem;
  ctx.currentBook = LoadAddressBooks(dictionary, ini, nullptr, &bookProblem) + 1;
  if (!bookProblem.empty()) fw::Message(bookProblem, "Dashpost", fw::Icon::Exclamation);
  std::string chargeMessage;
  if (!SetupChargeAccount(dictionary, ini, &ctx.chargeTemporary, &chargeMessage)) {
    StopMessage(chargeMessage);
    KillDictionary();
    return 1;
  }
  // The command line's file as it was given: a printed document the client
  // does not hand over is removed at the end (the print road leaves it to
  // the client).
  const std::string commandLineFile = ctx.mainAttachment;
  if (!ctx.mainAttachment.empty() && !IsRegularFile(ctx.mainAttachment)) {
    // Said now, not only when Send fails.
    NoteMessage("The file " + ctx.mainAttachment +
                " named on the command line does not exist or is not a regular file; Dashpost starts without a "
                "document to send.");
    ctx.mainAttachment.clear();
  }
  if (!ctx.mainAttachment.empty()) {
    // A file to send: ask first; a cancel keeps the client running without it.
    if (QGuiApplication::platformName() != "offscreen" &&
        fw::Message("Send " + ctx.mainAttachment + " as a fax?", "Dashpost", fw::Icon::Question,
                    fw::ButtonOk | fw::ButtonCancel) != fw::ButtonOk)
      ctx.mainAttachment.clear();
  }

  // A session end (SIGTERM) from here on closes the windows normally; it is
  // served once the main window has opened.
  mvn::helptips::winhooks::CloseOnSessionEnd();
  // The main window is a started window, so a tip window can name it as the
  // window that asked; the program runs until it has closed.
  int mainId = fw::Start([&] {
    std::unique_ptr<fw::Window> main = Main(ctx);
    fw::Window* raw = main.get();
    if (driver) {
      QObject::connect(raw, &fw::Window::windowEvent, raw, [raw, &driver, &ctx](int event, int) {
        if (event == fw::EventOpenWindow)
          QTimer::singleShot(0, raw, [raw, &driver, &ctx] { driver(*raw, ctx); });
      });
    }
    return main;
  });
  TipPresenter tips(mainId);
  mvn::helptips::SetTipWindowFactory([&tips](const mvn::helptips::TipRequest& request, bool modal) {
    return tips.Open(request, modal);
  });
  if (fw::Window* main = fw::Started(mainId); main && main->IsOpen()) {
    QEventLoop loop;
    QObject::connect(main, &fw::Window::windowEvent, &loop, [main, &loop](int event, int) {
      if (event == fw::EventCloseWindow)
        QMetaObject::invokeMethod(&loop, [main, &loop] {
          if (!main->IsOpen()) loop.quit();
        }, Qt::QueuedConnection);
    });
    loop.exec();
  }
  // Every way out ends here (File > Exit, the session's end, the end after
  // a command-line send): the windows still open close in order (tip
  // windows save their place) while the application exists.
  DeletePendingWindows();
  fw::CloseStartedWindows();
  DeletePendingWindows();
  mvn::helptips::SetTipWindowFactory(nullptr);
  if (!commandLineFile.empty() && !ctx.mainAttachmentHandedOver) RemoveUnsentPrintedDocument(commandLineFile);
  KillDictionary();
  return 0;
}

}  // namespace mvn::client

// ProgramMain: the framework, the dictionary, the tip set-up, the INI file,
// the language and tip file, the main window, and the shut-down.
#include <QApplication>
#include <QMainWindow>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "client/app/language.h"
#include "client/app/procedures.h"
#include "client/app/windowhooks.h"
#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/qtservices.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"
#include "helptips/hooks/winhooks.h"

namespace mvn::client {

namespace fw = mvn::framework;

namespace {

// A message that stops the program: on standard error always, and in a
// message box when there is a screen to show it on.
void StopMessage(const std::string& text) {
  std::fprintf(stderr, "dashpost: %s\n", fw::MessageLines(text).c_str());
  if (QGuiApplication::platformName() != "offscreen") fw::Message(text, "Dashpost", fw::Icon::Hand);
}

std::string ExePath(const char* argv0) {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0 ? argv0 : "dashpost";
}

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
  if (!ctx.mainAttachment.empty()) {
    // A file to send: ask first; a cancel keeps the client running without it.
    if (QGuiApplication::platformName() != "offscreen" &&
        fw::Message("Send " + ctx.mainAttachment + " as a fax?", "Dashpost", fw::Icon::Question,
                    fw::ButtonOk | fw::ButtonCancel) != fw::ButtonOk)
      ctx.mainAttachment.clear();
  }

  std::unique_ptr<fw::Window> main = Main(ctx);
  fw::Window* raw = main.get();
  ctx.quit = [raw] { QTimer::singleShot(0, raw, [raw] { raw->Close(); }); };
  mvn::helptips::winhooks::CloseOnSessionEnd();
  if (driver) {
    QObject::connect(raw, &fw::Window::windowEvent, raw, [raw, &driver, &ctx](int event, int) {
      if (event == fw::EventOpenWindow)
        QTimer::singleShot(0, raw, [raw, &driver, &ctx] { driver(*raw, ctx); });
    });
  }
  main->Run();
  main.reset();
  KillDictionary();
  return 0;
}

}  // namespace mvn::client

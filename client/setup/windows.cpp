// The setup windows: thin shells over the models of setup.h.
#include <QDesktopServices>
#include <algorithm>
#include <QLabel>
#include <QUrl>

#include "client/setup/procedures.h"
#include "client/setup/setup.h"
#include "client/ui/windowhooks.h"
#include "framework/core/services.h"
#include "platform/kernel/win32.h"

namespace mvn::client {

using framework::Window;

void CmdSetup(Window*, framework::IniFile& ini) {
  CmdSetupModel model = LoadCmdSetup(ini);
  int shown = 0;
  while (shown < kCmdRows && model.rows[static_cast<size_t>(shown)].visible) ++shown;
  // The window is as tall as the rows it shows; with none it says why it
  // has nothing to edit.
  const int rowsHeight = shown > 0 ? shown * 14 : 28;
  const int buttonsY = 10 + rowsHeight;
  Window w("CmdSetup", "Personal Details", QRect(0, 0, 260, buttonsY + 20));
  int prompts[kCmdRows], entries[kCmdRows];
  for (int i = 0; i < kCmdRows; ++i) {
    int y = 6 + i * 14;
    prompts[i] = w.AddPrompt("?String" + std::to_string(i + 1), "String " + std::to_string(i + 1),
                             QRect(6, y, 100, 10));
    entries[i] =
        w.AddEntry("?m_cmdValues_" + std::to_string(i + 1), QRect(110, y, 140, 11), static_cast<int>(kCmdValueBytes));
  }
  if (shown == 0) {
    w.AddPrompt("?NoDetails", "Your administrator has defined no personal details.", QRect(6, 6, 248, 10));
    w.AddPrompt("?NoDetailsWhere", "They are listed in [CommandList] of the client's INI file.",
                QRect(6, 18, 248, 10));
  }
  int save = w.AddButton("?Save", "&Save", QRect(140, buttonsY, 50, 14));
  int cancel = w.AddButton("?Cancel", "Cancel", QRect(200, buttonsY, 50, 14));
  for (int i = 0; i < kCmdRows; ++i) {
    const CmdRow& row = model.rows[static_cast<size_t>(i)];
    if (row.visible) {
      w.SetText(prompts[i], row.label);
      w.SetText(entries[i], row.value);
    } else {
      w.SetText(prompts[i], "");
      w.Hide(prompts[i]);
      w.Hide(entries[i]);
    }
  }
  WireWindowHooks(w, "CmdSetup", false);
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == save) {
      // Hidden rows were not shown, so nothing was typed there: they keep
      // their stored values.
      for (int i = 0; i < kCmdRows; ++i)
        if (model.rows[static_cast<size_t>(i)].visible) model.rows[static_cast<size_t>(i)].value = w.Text(entries[i]);
      if (!SaveCmdSetup(ini, model))
        framework::Services().Message({"The personal details could not be written to " + ini.FileName() + ".",
                                       "Personal Details", framework::Icon::Exclamation});
      w.Close();
    } else if (field == cancel) {
      w.Close();
    }
  });
  w.Run();
}

void AdditionalOutputValues(Window*, framework::IniFile& ini) {
  std::vector<OutputValue> rows = LoadOutputValues(ini);
  Window w("AdditionalOutputValues", "Additional values to output", QRect(0, 0, 330, 250));
  std::vector<int> checks, labels;
  for (size_t i = 0; i < rows.size(); ++i) {
    int y = 6 + static_cast<int>(i) * 13;
    checks.push_back(w.AddCheck("?Check" + std::string(rows[i].key), rows[i].caption, QRect(6, y, 100, 10)));
    // A stored label longer than the entry's bytes is shown whole, so
    // opening and saving never cuts it.
    int limit = std::max<int>(static_cast<int>(kOutputLabelBytes), static_cast<int>(rows[i].label.size()));
    labels.push_back(w.AddEntry("?Label" + std::string(rows[i].key), QRect(110, y, 80, 11), limit));
    w.SetChecked(checks.back(), rows[i].ticked);
    w.SetText(labels.back(), rows[i].label);
  }
  // What every recipient block carries, for information.
  const char* fixed[][2] = {{"Attention", "<Att>"},  {"Company", "<Comp>"},   {"Title", "<Title>"},
                            {"First Name", "<First>"}, {"Last Name", "<Last>"}, {"Destination", "<Dest>"},
                            {"", "<EmailFormat>"}};
  for (int i = 0; i < 7; ++i) {
    w.AddPrompt("?Fixed" + std::to_string(i + 1), fixed[i][0], QRect(205, 6 + i * 13, 55, 10));
    int value = w.AddPrompt("?FixedValue" + std::to_string(i + 1), fixed[i][1], QRect(262, 6 + i * 13, 66, 10));
    // "<Title>" is a field marker, not markup.
    if (auto* label = qobject_cast<QLabel*>(w.ControlWidget(value))) label->setTextFormat(Qt::PlainText);
  }
  int save = w.AddButton("?Save", "&Save", QRect(200, 225, 55, 14));
  int cancel = w.AddButton("?Cancel", "Cancel", QRect(262, 225, 55, 14));
  WireWindowHooks(w, "AdditionalOutputValues", false);
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == save) {
      for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].ticked = w.IsChecked(checks[i]);
        rows[i].label = w.Text(labels[i]);
      }
      std::string message;
      if (!SaveOutputValues(ini, rows, &message)) {
        framework::Services().Message({message, "Additional values to output", framework::Icon::Exclamation});
        return;
      }
      w.Close();
    } else if (field == cancel) {
      w.Close();
    }
  });
  w.Run();
}

void AboutWin(Window*, const framework::IniFile& ini) {
  AboutTexts texts = LoadAboutTexts(ini);
  Window w("AboutWin", "Help - about", QRect(0, 0, 220, 90));
  w.AddPrompt("?Version", texts.version, QRect(8, 8, 204, 10));
  w.AddPrompt("?Notice", texts.notice, QRect(8, 22, 204, 10));
  w.AddPrompt("?WebSite", texts.web, QRect(8, 36, 204, 10));
  int web = w.AddButton("?Button3", "Register / Update / &Web Help", QRect(8, 62, 120, 14));
  int ok = w.AddButton("?Close", "&OK", QRect(160, 62, 50, 14));
  WireWindowHooks(w, "AboutWin", false);
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == web) QDesktopServices::openUrl(QUrl(QString::fromStdString(texts.web)));
    if (field == ok) w.Close();
  });
  w.Run();
}

}  // namespace mvn::client

// The tip window: one help tip shown with its markup, and the tip editor.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "framework/gui/window.h"
#include "helptips/layout.h"
#include "helptips/procedures.h"
#include "helptips/tipfile.h"

class QScrollArea;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QLabel;

namespace mvn::helptips {

class TipWindowView : public framework::Window {
  Q_OBJECT
 public:
  explicit TipWindowView(TipWindowRequest request);
  ~TipWindowView() override;

  // Opens the tip file and shows the request's tip; false when the tip
  // file cannot be opened (the window is not shown).
  bool Load();

  // Runs the action of element index (as a click would).
  void RunAction(int element);
  void GoBack();
  void GoForward();
  // Editing.
  bool BeginTextEdit();    // Alt+E
  bool BeginFormatting();  // Alt+C
  void ShowHelp();         // Alt+H
  SaveOutcome SaveText();  // the save button
  void CancelText();
  void SelectElement(int element);
  // The formatting popup's choices: 2 "Save and Exit", 3 "Exit".
  void FinishFormatting(bool save);
  // Stores a property of the selected element (the properties window's
  // accept); false when the value cannot be stored.
  bool SetProperty(const std::string& property, const std::string& value);
  bool OpenProperties();

  // State for tests.
  const FoundTip& Tip() const { return *m_tip; }
  FoundTip& MutableTip() { return *m_tip; }
  const MarkupResult& Markup() const { return m_markup; }
  const TipLayoutResult& LayoutResult() const { return m_layout; }
  const SettingsList& Settings() const { return m_settings; }
  const TipHistory& History() const { return m_history; }
  bool TextEditing() const { return m_textEdit; }
  bool Formatting() const { return m_formatting; }
  QWidget* ElementWidget(int element) const;
  QLineEdit* KeyEntry(int which) const;  // 0 procedure, 1 control, 2 type
  QPlainTextEdit* TextEntry() const { return m_textEntry; }
  int Width() const { return m_width; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Lookup(const HistoryEntry& request);
  void Rebuild();
  void Clear();
  void LeaveTextEdit();
  void OnClosed();
  void RunBrowser(const std::string& target);
  std::string FileName() const;

  TipWindowRequest m_request;
  HistoryEntry m_current;
  std::unique_ptr<FoundTip> m_tip;
  MarkupResult m_markup;
  TipLayoutResult m_layout;
  SettingsList m_settings;
  TipHistory m_history;
  bool m_opened = false;
  int m_width = 169;
  bool m_textEdit = false, m_formatting = false;
  int m_selected = -1;
  std::string m_helpFile, m_helpTopic;
  int m_frame = 0, m_prev = 0, m_next = 0, m_status = 0;
  QScrollArea* m_scroll = nullptr;
  QWidget* m_content = nullptr;
  QWidget* m_marker = nullptr;
  std::vector<QPointer<QWidget>> m_widgets;  // per element
  QWidget* m_editPanel = nullptr;
  QLineEdit* m_keys[3] = {nullptr, nullptr, nullptr};
  QPlainTextEdit* m_textEntry = nullptr;
};

}  // namespace mvn::helptips

// The Qt implementation of the framework services: message boxes, popup
// menus, file dialogs and the modal progress window.
#pragma once

#include <QDialog>
#include <memory>

#include "framework/core/services.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace mvn::framework {

class QtServices : public ServiceProvider {
 public:
  unsigned Message(const MessageRequest& request) override;
  int Popup(const std::vector<PopupItem>& items, int x = -1, int y = -1) override;
  bool FileDialog(const FileDialogRequest& request, std::string* path) override;
  std::unique_ptr<Progress> OpenProgress(const ProgressRequest& request) override;
};

// Installs one QtServices for the process (the GUI programs call it once
// after making their application object), and the file error messages.
void InstallQtServices();

// The framework's error message for a file operation that failed without
// the caller asking to handle it (the file manager's calls without "Try"),
// shown through the installed services.
void InstallFileErrorMessages();
std::string FileErrorText(const std::string& fileName, int code, const std::string& text);

// The Qt name filters for a "name|pat;pat" text, labelled with the
// patterns as given ("CSV File (*.csv *.txt)"); the file dialog matches
// them without regard to letter case.
QStringList QtNameFilters(const std::string& filters);

// The progress window: a caption, a text, a thermometer, "n% Completed" and
// Cancel. Modal; the run calls Update between records, which also lets the
// window repaint and see the Cancel button.
class ProgressWindow : public QDialog, public Progress {
  Q_OBJECT
 public:
  explicit ProgressWindow(const ProgressRequest& request);
  void SetTotal(int64_t total) override;
  bool Update(int64_t done) override;
  bool Cancelled() const override { return m_cancelled; }
  QLabel* PercentLabel() const { return m_percent; }
  QProgressBar* Thermometer() const { return m_bar; }
  QPushButton* CancelButton() const { return m_cancel; }

 protected:
  void reject() override;

 private:
  QLabel* m_text;
  QProgressBar* m_bar;
  QLabel* m_percent;
  QPushButton* m_cancel;
  int64_t m_total = 0;
  bool m_cancelled = false;
};

}  // namespace mvn::framework

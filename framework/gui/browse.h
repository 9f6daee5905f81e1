// Browse lists over a keyed table, and update forms.
//
// A browse shows one page of the table at a time, read through the file
// manager's keyset cursor in the order of the current key: opening, moving
// and locating read only the rows shown, so a table of any size opens at
// once and the browse's memory does not grow with it. Each sort order is a
// tab with its key; the locator moves to the first record whose locator
// field is at or after the typed text (without regard to case), which is the
// first record starting with it when there is one. Insert, change and delete
// start the browse's update form; select puts the highlighted record into
// the file's buffer.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/core/filemanager.h"
#include "framework/core/relation.h"
#include "framework/gui/window.h"

class QScrollBar;

namespace mvn::framework {

struct SortOrder {
  std::string tab;           // tab text
  std::string key;           // key name of the file
  std::string locatorField;  // field the locator searches (the key's first field when empty)
};

enum class FormMode { Insert = 1, Change = 2, Delete = 3, View = 4 };
enum : int { RequestCompleted = 1, RequestCancelled = 2 };

class BrowsePageModel;
class BrowseView;

class Browse : public QObject {
  Q_OBJECT
 public:
  // Adds the browse's controls to window: a sheet with one tab per sort
  // order (when there are several), the locator entry "?Locate" and the
  // list itself (type Browse) at du.
  Browse(Window& window, FileManager& file, std::string useName, QRect du, std::vector<Column> columns,
         std::vector<SortOrder> orders);
  ~Browse() override;

  // Buttons that start the update form, and the select button.
  void SetButtons(int insert, int change, int remove, int select = 0);
  // The update form: runs it in a mode with the file's buffer holding the
  // record (cleared for an insert); returns RequestCompleted or
  // RequestCancelled.
  void SetForm(std::function<int(FormMode)> form) { m_form = std::move(form); }

  // Reads the first page (in the current order) or the page positioned on
  // the record whose current key fields are at or after values (field name
  // -> value).
  void Open();
  void OpenPositioned(const std::map<std::string, std::string>& values);
  // Chooses a sort order (0-based), keeping the highlighted record.
  void SetOrder(int order);
  int Order() const { return m_order; }
  // Positions on the first record at or after text in the locator field.
  void Locate(const std::string& text);

  void ScrollDown();
  void ScrollUp();
  void PageDown();
  void PageUp();
  void Top();
  void Bottom();

  // Starts the form in a mode on the highlighted record (insert: on a new
  // one) and repositions the page afterwards. Returns the form's result.
  int Ask(FormMode mode);
  // The highlighted record into the file's buffer; false when there is none.
  bool TakeSelected();

  // The page: rows shown and their cell texts.
  int PageRows() const;
  int PageSize() const { return m_pageSize; }
  // A fixed page size; without one the page is as high as the list.
  void SetPageSize(int rows);
  std::string Cell(int row, int column) const;  // 0-based
  int SelectedRow() const { return m_selected; }  // 0-based, -1 when empty
  void SetSelectedRow(int row);
  int ListField() const { return m_listField; }
  int LocatorField() const { return m_locatorFieldControl; }
  int SheetField() const { return m_sheetField; }
  BrowseView* View() const { return m_view; }
  // The list's scroll bar: 0 on the first page, 1000 on the last, 500
  // between (the browse does not count the table).
  QScrollBar* ScrollBar() const;
  int ScrollValue() const { return m_scrollValue; }

 signals:
  void selectionChanged();

 private:
  struct Row {
    Position position;
    std::vector<std::string> cells;
  };
  friend class BrowsePageModel;
  friend class BrowseView;

  const std::string& Key() const;
  std::string LocatorFieldName() const;
  Row Current() const;
  bool ReadNext(Row* row);
  bool ReadPrevious(Row* row);
  // Finds the record of a row number in the current order.
  bool PositionOn(int64_t row, Position* position);
  void FitPageSize(int rows);
  // The cursor before the first record of the current order (file order
  // for a file without keys).
  int SetToStart();
  // Fills the page starting with position (going back when the table ends
  // too early) and highlights it.
  void FillFrom(const Position& position, bool found);
  void Show();

  Window& m_window;
  FileManager& m_file;
  std::vector<Column> m_columns;
  std::vector<SortOrder> m_orders;
  int m_order = 0;
  int m_pageSize = 10;
  std::vector<Row> m_page;
  int m_selected = -1;
  std::function<int(FormMode)> m_form;
  int m_insert = 0, m_change = 0, m_delete = 0, m_select = 0;
  int m_listField = 0, m_locatorFieldControl = 0, m_sheetField = 0;
  std::vector<int> m_tabs;
  BrowsePageModel* m_model = nullptr;
  BrowseView* m_view = nullptr;
  bool m_filling = false;
  bool m_fixedPageSize = false;
  int m_scrollValue = 0;
};

// The page of a browse as a table model.
class BrowsePageModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit BrowsePageModel(Browse* browse) : QAbstractTableModel(browse), m_browse(browse) {}
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void Reset() {
    beginResetModel();
    endResetModel();
  }

 private:
  Browse* m_browse;
};

// The browse's list: moving keys scroll through the table, printable keys
// go to the locator.
class BrowseView : public QTableView {
  Q_OBJECT
  friend class Browse;

 public:
  explicit BrowseView(Browse* browse);
  QScrollBar* Scroll() const { return m_scroll; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  Browse* m_browse;
  QScrollBar* m_scroll;
};

// An update form over one file: the procedure adds its controls and binds
// them to the file's buffer; Ask runs the form in a mode. The caption tells
// the mode. OK reads the controls back, calls the check (which may refuse),
// and writes through the relation manager when there is one, else through
// the file manager; a failed write shows the framework's error message and
// the form stays open. Delete asks first. View hides OK and makes the fields
// read-only.
class UpdateForm : public Window {
  Q_OBJECT
 public:
  UpdateForm(std::string procedureName, FileManager& file, RelationManager* relation = nullptr,
             QRect du = QRect(0, 0, 260, 160));

  // Captions per mode (defaults "Adding a Record", "Changing a Record",
  // "Deleting a Record", "Viewing a Record").
  void SetCaption(FormMode mode, std::string caption);
  // Called after the controls were read back, before the write; false
  // keeps the form open.
  void SetCheck(std::function<bool()> check) { m_check = std::move(check); }
  // Called when the form has opened in its mode (the procedure's own
  // opening code).
  void SetOpening(std::function<void(FormMode)> opening) { m_opening = std::move(opening); }

  int OkButton() const { return m_ok; }
  int CancelButton() const { return m_cancel; }
  FormMode Mode() const { return m_mode; }

  // Runs the form modally; RequestCompleted when the record was written.
  int Ask(FormMode mode);
  // OK as the user presses it: true when the record was written.
  bool Complete();

 private:
  void SetReadOnly(bool readOnly);

  FileManager& m_file;
  RelationManager* m_relation;
  std::map<FormMode, std::string> m_captions;
  std::function<bool()> m_check;
  std::function<void(FormMode)> m_opening;
  FormMode m_mode = FormMode::View;
  int m_ok = 0, m_cancel = 0;
  int m_result = RequestCancelled;
};

// The message of a failed write: what was being done, the framework's
// error text and code.
std::string FormErrorText(FormMode mode, int code, const std::string& text);

}  // namespace mvn::framework

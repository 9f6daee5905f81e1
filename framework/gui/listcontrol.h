// A list control over a queue: one row per entry, columns by field name.
// A text wider than its column is elided in the middle and shown whole as
// the cell's tooltip.
//
// With a mark field the list is multi-select: the highlighted rows are the
// entries whose mark is set. A click marks the clicked row alone; a
// Control-click toggles it. Typing a letter or digit moves to the first row
// whose text in the type-ahead column begins with it (no case). Rows can be
// dragged onto other lists the window allows (Window::AllowDrag).
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <string>
#include <vector>

#include "framework/core/queue.h"
#include "framework/gui/window.h"

namespace mvn::framework {

// Whether text, drawn in a cell of the column of view, shows less than
// itself (the item delegate draws inside the focus frame's margins).
bool CellIsCut(const QTableView* view, int column, const QString& text);

class QueueModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  QueueModel(Queue* queue, std::vector<Column> columns, std::string markField, QObject* parent);
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;

  void Reload();
  Queue* GetQueue() const { return m_queue; }
  const std::vector<Column>& Columns() const { return m_columns; }
  const std::string& MarkField() const { return m_mark; }
  std::string CellText(int row, int column) const;  // 0-based
  bool Marked(int row) const;
  void SetMarked(int row, bool marked);

 private:
  Queue* m_queue;
  std::vector<Column> m_columns;
  std::string m_mark;
  int m_rows = 0;
};

class ListControl : public QTableView {
  Q_OBJECT
 public:
  ListControl(Window* window, Queue* queue, std::vector<Column> columns, std::string markField);

  void SetField(int field) { m_field = field; }
  int FieldNumber() const { return m_field; }
  QueueModel* Model() const { return m_model; }

  // Refills from the queue and shows the marks.
  void Reload();
  // 1-based current row, 0 when none.
  int Choice() const;
  void SetChoice(int row);
  // The column (0-based) type-ahead looks in.
  void SetTypeAheadColumn(int column) { m_typeAheadColumn = column; }
  // The characters that start a type-ahead (letters without case); other
  // letters and digits are ignored. Empty (the default): every letter and
  // digit.
  void SetTypeAheadKeys(QString keys) { m_typeAheadKeys = keys.toUpper(); }
  // Moves to the first row whose type-ahead text starts with c; false when
  // none does.
  bool TypeAhead(QChar c);
  // A click on row (0-based) as the mouse gives it.
  void ClickRow(int row, bool control);
  // Whether the cell (0-based) shows less than its whole text: a cut text
  // is elided in the middle (the ends of "POSTALADD1" and "POSTALADD2" tell
  // them apart) and its tooltip is the whole text.
  bool IsCut(int row, int column) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void ShowMarks();
  bool AcceptsDrop(const QMimeData* data, int* source, int* row) const;

  Window* m_window;
  QueueModel* m_model;
  int m_field = 0;
  int m_typeAheadColumn = 0;
  QString m_typeAheadKeys;
};

// The MIME type of a dragged row: "<window address> <field> <row>".
inline constexpr const char* RowMimeType = "application/x-mvn-framework-row";

}  // namespace mvn::framework

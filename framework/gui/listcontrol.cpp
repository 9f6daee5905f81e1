#include "framework/gui/listcontrol.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyle>

namespace mvn::framework {

namespace {
QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }
std::string RightClip(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}
}  // namespace

// ---------------------------------------------------------------------------
// QueueModel

QueueModel::QueueModel(Queue* queue, std::vector<Column> columns, std::string markField, QObject* parent)
    : QAbstractTableModel(parent), m_queue(queue), m_columns(std::move(columns)), m_mark(std::move(markField)) {
  m_rows = m_queue ? m_queue->Records() : 0;
}

int QueueModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_rows; }
int QueueModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

std::string QueueModel::CellText(int row, int column) const {
  if (!m_queue || row < 0 || row >= m_queue->Records() || column < 0 || column >= static_cast<int>(m_columns.size()))
    return std::string();
  return RightClip(m_queue->Entry(row + 1).Get(m_columns[static_cast<size_t>(column)].field));
}

QVariant QueueModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return QVariant();
  if (role == Qt::DisplayRole) return Q(CellText(index.row(), index.column()));
  if (role == Qt::ToolTipRole) {
    auto* list = qobject_cast<const ListControl*>(QObject::parent());
    if (list && list->IsCut(index.row(), index.column())) return Q(CellText(index.row(), index.column()));
  }
  return QVariant();
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
      section < static_cast<int>(m_columns.size()))
    return Q(m_columns[static_cast<size_t>(section)].header);
  return QVariant();
}

Qt::ItemFlags QueueModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QStringList QueueModel::mimeTypes() const { return {RowMimeType}; }

QMimeData* QueueModel::mimeData(const QModelIndexList& indexes) const {
  auto* list = qobject_cast<ListControl*>(parent());
  if (indexes.isEmpty() || !list) return nullptr;
  auto* data = new QMimeData();
  QString text = QString("%1 %2 %3")
                     .arg(reinterpret_cast<quintptr>(list->window()))
                     .arg(list->FieldNumber())
                     .arg(indexes.first().row() + 1);
  data->setData(RowMimeType, text.toUtf8());
  return data;
}

void QueueModel::Reload() {
  beginResetModel();
  m_rows = m_queue ? m_queue->Records() : 0;
  endResetModel();
}

bool QueueModel::Marked(int row) const {
  if (m_mark.empty() || !m_queue || row < 0 || row >= m_queue->Records()) return false;
  return m_queue->Entry(row + 1).GetLong(m_mark) != 0;
}

void QueueModel::SetMarked(int row, bool marked) {
  if (m_mark.empty() || !m_queue || row < 0 || row >= m_queue->Records()) return;
  // Through the queue's own Get and Put, so the buffer and pointer follow.
  m_queue->Get(row + 1);
  m_queue->Buffer().SetLong(m_mark, marked ? 1 : 0);
  m_queue->Put();
}

// ---------------------------------------------------------------------------
// ListControl

ListControl::ListControl(Window* window, Queue* queue, std::vector<Column> columns, std::string markField)
    : m_window(window) {
  m_model = new QueueModel(queue, std::move(columns), std::move(markField), this);
  setModel(m_model);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(m_model->MarkField().empty() ? QAbstractItemView::SingleSelection
                                                 : QAbstractItemView::NoSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Rows often differ only at their ends (numbered names, file names, the
  // time after a date): a cut text keeps both ends.
  setTextElideMode(Qt::ElideMiddle);
  setWordWrap(false);  // a row is one line: a wrapped text would lose its end
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setStretchLastSection(true);
  setDragDropMode(QAbstractItemView::NoDragDrop);
  const auto& cols = m_model->Columns();
  for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
    if (cols[static_cast<size_t>(i)].width <= 0)
      hideColumn(i);
    else
      setColumnWidth(i, DialogUnits::XToPixels(cols[static_cast<size_t>(i)].width));
  }
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    if (m_window && m_field) m_window->Post(EventNewSelection, m_field);
  });
}

void ListControl::Reload() {
  int row = Choice();
  m_model->Reload();
  if (row > 0 && row <= m_model->rowCount()) SetChoice(row);
  ShowMarks();
}

int ListControl::Choice() const {
  QModelIndex current = currentIndex();
  return current.isValid() ? current.row() + 1 : 0;
}

void ListControl::SetChoice(int row) {
  if (row < 1 || row > m_model->rowCount()) return;
  QModelIndex index = m_model->index(row - 1, 0);
  if (m_model->MarkField().empty())
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  else
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  scrollTo(index);
}

void ListControl::ShowMarks() {
  if (m_model->MarkField().empty()) return;
  QItemSelection selection;
  for (int r = 0; r < m_model->rowCount(); ++r)
    if (m_model->Marked(r)) selection.select(m_model->index(r, 0), m_model->index(r, m_model->columnCount() - 1));
  selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

bool ListControl::TypeAhead(QChar c) {
  QString wanted = QString(c).toUpper();
  for (int r = 0; r < m_model->rowCount(); ++r) {
    QString text = Q(m_model->CellText(r, m_typeAheadColumn)).trimmed();
    if (text.startsWith(wanted, Qt::CaseInsensitive)) {
      SetChoice(r + 1);
      return true;
    }
  }
  return false;
}

void ListControl::ClickRow(int row, bool control) {
  if (row < 0 || row >= m_model->rowCount()) return;
  if (!m_model->MarkField().empty()) {
    if (control) {
      m_model->SetMarked(row, !m_model->Marked(row));
    } else {
      for (int r = 0; r < m_model->rowCount(); ++r)
        if (m_model->Marked(r) != (r == row)) m_model->SetMarked(r, r == row);
    }
    ShowMarks();
  }
  SetChoice(row + 1);
  if (m_window && m_field) m_window->Post(EventAccepted, m_field);
}

bool CellIsCut(const QTableView* view, int column, const QString& text) {
  if (!view || text.isEmpty() || view->isColumnHidden(column)) return false;
  const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
  return view->fontMetrics().horizontalAdvance(text) > view->columnWidth(column) - 2 * margin;
}

bool ListControl::IsCut(int row, int column) const {
  if (column < 0 || column >= m_model->columnCount()) return false;
  return CellIsCut(this, column, Q(m_model->CellText(row, column)));
}

void ListControl::keyPressEvent(QKeyEvent* event) {
  QString text = event->text();
  if (text.size() == 1 && text[0].isLetterOrNumber() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    if (m_typeAheadKeys.isEmpty() || m_typeAheadKeys.contains(text[0].toUpper())) TypeAhead(text[0]);
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_window && m_field) {
    m_window->Post(EventAccepted, m_field);
    return;
  }
  QTableView::keyPressEvent(event);
}

void ListControl::mousePressEvent(QMouseEvent* event) {
  QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && !m_model->MarkField().empty()) {
    ClickRow(index.row(), event->modifiers() & Qt::ControlModifier);
    // Keeps the drag start of the base class.
    QAbstractItemView::SelectionMode mode = selectionMode();
    QTableView::mousePressEvent(event);
    setSelectionMode(mode);
    ShowMarks();
    return;
  }
  QTableView::mousePressEvent(event);
}

void ListControl::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  if (m_window && m_field) m_window->Post(EventAccepted, m_field);
}

bool ListControl::AcceptsDrop(const QMimeData* data, int* source, int* row) const {
  if (!data || !data->hasFormat(RowMimeType)) return false;
  QStringList parts = QString::fromUtf8(data->data(RowMimeType)).split(' ');
  if (parts.size() != 3) return false;
  if (parts[0].toULongLong() != reinterpret_cast<quintptr>(window())) return false;
  *source = parts[1].toInt();
  *row = parts[2].toInt();
  return true;
}

void ListControl::dragEnterEvent(QDragEnterEvent* event) {
  int source, row;
  if (AcceptsDrop(event->mimeData(), &source, &row))
    event->acceptProposedAction();
  else
    event->ignore();
}

void ListControl::dragMoveEvent(QDragMoveEvent* event) {
  int source, row;
  if (AcceptsDrop(event->mimeData(), &source, &row))
    event->acceptProposedAction();
  else
    event->ignore();
}

void ListControl::dropEvent(QDropEvent* event) {
  int source, row;
  if (!AcceptsDrop(event->mimeData(), &source, &row)) {
    event->ignore();
    return;
  }
  QModelIndex index = indexAt(event->position().toPoint());
  int target = index.isValid() ? index.row() + 1 : 0;
  event->acceptProposedAction();
  if (m_window) m_window->DeliverDrop(source, row, m_field, target);
}

}  // namespace mvn::framework

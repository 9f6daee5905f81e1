#include "framework/gui/browse.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QWheelEvent>
#include <algorithm>
#include <memory>

#include "framework/core/errors.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/listcontrol.h"

namespace mvn::framework {

namespace {
QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }
}  // namespace

// ---------------------------------------------------------------------------
// Browse

Browse::Browse(Window& window, FileManager& file, std::string useName, QRect du, std::vector<Column> columns,
               std::vector<SortOrder> orders)
    : QObject(&window), m_window(window), m_file(file), m_columns(std::move(columns)), m_orders(std::move(orders)) {
  if (m_orders.empty() && !m_file.Keys().empty()) m_orders.push_back({"", m_file.Keys().front().name, ""});
  const int locatorHeight = 12;
  QRect listRect = du;
  if (m_orders.size() > 1) {
    // The tabs sit above the list; their pages stay empty.
    // The strip is as high as the font's tabs, so the locator below it is
    // not covered.
    m_sheetField = m_window.AddSheet("?CurrentTab", QRect(du.x(), du.y(), du.width(), 14));
    for (size_t i = 0; i < m_orders.size(); ++i)
      m_tabs.push_back(m_window.AddTab(m_sheetField, "?Tab:" + std::to_string(i + 1), m_orders[i].tab));
    auto* strip = qobject_cast<QTabWidget*>(m_window.ControlWidget(m_sheetField));
    int stripHeight = 14;
    if (strip) {
      const int px = strip->tabBar()->sizeHint().height();
      while (DialogUnits::YToPixels(stripHeight) < px) ++stripHeight;
      strip->setFixedHeight(DialogUnits::YToPixels(stripHeight));
      m_window.SetPosition(m_sheetField, QRect(du.x(), du.y(), du.width(), stripHeight));
    }
    listRect.setTop(du.y() + stripHeight);
  }
  m_locatorFieldControl =
      m_window.AddEntry("?Locate", QRect(du.x(), listRect.y(), std::min(du.width(), 120), locatorHeight));
  listRect.setTop(listRect.y() + locatorHeight + 2);
  listRect.setBottom(du.bottom());

  m_model = new BrowsePageModel(this);
  m_view = new BrowseView(this);
  m_view->setModel(m_model);
  // Rows that differ only at their ends (numbers, names) stay apart.
  m_view->setTextElideMode(Qt::ElideMiddle);
  m_view->setWordWrap(false);
  m_listField = m_window.Add(ControlType::Browse, std::move(useName), m_view, listRect);
  for (int i = 0; i < static_cast<int>(m_columns.size()); ++i) {
    if (m_columns[static_cast<size_t>(i)].width <= 0)
      m_view->hideColumn(i);
    else
      m_view->setColumnWidth(i, DialogUnits::XToPixels(m_columns[static_cast<size_t>(i)].width));
  }
  FitPageSize(m_view->viewport()->height() / std::max(1, m_view->verticalHeader()->defaultSectionSize()));

  if (m_sheetField) {
    auto* tabs = qobject_cast<QTabWidget*>(m_window.ControlWidget(m_sheetField));
    connect(tabs, &QTabWidget::currentChanged, this, [this](int index) { SetOrder(index); });
  }
  auto* locator = qobject_cast<QLineEdit*>(m_window.ControlWidget(m_locatorFieldControl));
  connect(locator, &QLineEdit::textEdited, this, [this](const QString& text) { Locate(text.toUtf8().toStdString()); });
  connect(&m_window, &Window::windowEvent, this, [this](int event, int field) {
    if (event != EventAccepted || !field) return;
    if (field == m_insert) Ask(FormMode::Insert);
    else if (field == m_change) Ask(FormMode::Change);
    else if (field == m_delete) Ask(FormMode::Delete);
  });
  connect(m_view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (m_filling || !current.isValid()) return;
            m_selected = current.row();
            emit selectionChanged();
            m_window.Post(EventNewSelection, m_listField);
          });
  connect(m_view, &QTableView::doubleClicked, this, [this] {
    if (m_select) m_window.Post(EventAccepted, m_select);
    else if (m_change) Ask(FormMode::Change);
  });
}

Browse::~Browse() = default;

void Browse::SetButtons(int insert, int change, int remove, int select) {
  m_insert = insert;
  m_change = change;
  m_delete = remove;
  m_select = select;
}

void Browse::SetPageSize(int rows) {
  m_fixedPageSize = true;
  FitPageSize(rows);
}

void Browse::FitPageSize(int rows) {
  rows = std::max(1, rows);
  if (rows == m_pageSize) return;
  m_pageSize = rows;
  if (m_page.empty()) return;
  Position first = m_page.front().position;
  Position selected = m_selected >= 0 ? m_page[static_cast<size_t>(m_selected)].position : first;
  FillFrom(first, true);
  for (size_t i = 0; i < m_page.size(); ++i)
    if (m_page[i].position == selected) m_selected = static_cast<int>(i);
  Show();
}

const std::string& Browse::Key() const {
  static const std::string none;
  return m_orders.empty() ? none : m_orders[static_cast<size_t>(m_order)].key;
}

std::string Browse::LocatorFieldName() const {
  if (m_orders.empty()) return std::string();
  const SortOrder& order = m_orders[static_cast<size_t>(m_order)];
  if (!order.locatorField.empty()) return order.locatorField;
  int k = m_file.FindKey(order.key);
  if (k >= 0 && !m_file.Keys()[static_cast<size_t>(k)].fields.empty())
    return m_file.Keys()[static_cast<size_t>(k)].fields.front();
  return std::string();
}

Browse::Row Browse::Current() const {
  Row row;
  row.position = m_file.GetPosition();
  for (const Column& c : m_columns) row.cells.push_back(Clip(m_file.Buffer().Get(c.field)));
  return row;
}

bool Browse::ReadNext(Row* row) {
  if (m_file.Next() != NoError) return false;
  *row = Current();
  return true;
}

bool Browse::ReadPrevious(Row* row) {
  if (m_file.Previous() != NoError) return false;
  *row = Current();
  return true;
}

void Browse::FillFrom(const Position& position, bool found) {
  m_page.clear();
  m_selected = -1;
  if (found && m_file.Reset(Key(), position) == NoError) {
    Row row;
    while (static_cast<int>(m_page.size()) < m_pageSize && ReadNext(&row)) m_page.push_back(std::move(row));
  }
  if (!m_page.empty()) m_selected = 0;
  // Too few rows after it: complete the page with the rows before.
  if (static_cast<int>(m_page.size()) < m_pageSize) {
    std::vector<Row> before;
    if (m_page.empty()) {
      SetToStart();
    } else {
      m_file.Reset(Key(), m_page.front().position);
    }
    Row row;
    while (static_cast<int>(m_page.size() + before.size()) < m_pageSize && ReadPrevious(&row))
      before.push_back(std::move(row));
    std::reverse(before.begin(), before.end());
    if (m_selected >= 0)
      m_selected += static_cast<int>(before.size());
    else if (!before.empty())
      m_selected = static_cast<int>(before.size()) - 1;
    before.insert(before.end(), std::make_move_iterator(m_page.begin()), std::make_move_iterator(m_page.end()));
    m_page = std::move(before);
  }
}

bool Browse::PositionOn(int64_t row, Position* position) {
  // A position is only good for the key it was read in, so the record is
  // found again in the current key's order from its own key values and row
  // (one seek however many records share its values).
  if (row <= 0 || m_file.Reget(Position{row, {}}) != NoError) return false;
  if (m_file.Reset(Key(), m_file.GetPosition()) != NoError || m_file.Next() != NoError) return false;
  if (m_file.GetPosition().row != row) return false;
  *position = m_file.GetPosition();
  return true;
}

int Browse::SetToStart() { return Key().empty() ? m_file.Set() : m_file.Set(Key()); }

void Browse::Show() {
  // Where the page stands: is there a record before it, or after it?
  bool before = false, after = false;
  if (!m_page.empty()) {
    Row probe;
    m_file.Reset(Key(), m_page.front().position);
    before = ReadPrevious(&probe);
    m_file.Reset(Key(), m_page.back().position);
    after = ReadNext(&probe) && ReadNext(&probe);
  }
  m_scrollValue = !before ? 0 : !after ? 1000 : 500;
  QSignalBlocker block(m_view->Scroll());
  m_view->Scroll()->setValue(m_scrollValue);
  m_filling = true;
  m_model->Reset();
  if (m_selected >= 0 && m_selected < static_cast<int>(m_page.size()))
    m_view->selectionModel()->setCurrentIndex(m_model->index(m_selected, 0),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_filling = false;
  emit selectionChanged();
}

void Browse::Open() {
  SetToStart();
  m_page.clear();
  Row row;
  while (static_cast<int>(m_page.size()) < m_pageSize && ReadNext(&row)) m_page.push_back(std::move(row));
  m_selected = m_page.empty() ? -1 : 0;
  Show();
}

void Browse::OpenPositioned(const std::map<std::string, std::string>& values) {
  Record& buffer = m_file.Buffer();
  buffer.Clear();
  for (const auto& [field, value] : values) buffer.Set(field, value);
  bool found = m_file.SetFrom(Key()) == NoError && m_file.Next() == NoError;
  Position at = found ? m_file.GetPosition() : Position();
  FillFrom(at, found);
  Show();
}

void Browse::Locate(const std::string& text) {
  Record& buffer = m_file.Buffer();
  buffer.Clear();
  std::string field = LocatorFieldName();
  if (field.empty()) return;
  buffer.Set(field, text);
  bool found = m_file.SetFrom(Key()) == NoError && m_file.Next() == NoError;
  Position at = found ? m_file.GetPosition() : Position();
  FillFrom(at, found);
  Show();
  m_window.Post(EventLocate, m_listField);
}

void Browse::SetOrder(int order) {
  if (order < 0 || order >= static_cast<int>(m_orders.size())) return;
  bool had = m_selected >= 0 && m_selected < static_cast<int>(m_page.size());
  Position keep = had ? m_page[static_cast<size_t>(m_selected)].position : Position();
  m_order = order;
  if (m_sheetField) {
    auto* tabs = qobject_cast<QTabWidget*>(m_window.ControlWidget(m_sheetField));
    if (tabs && tabs->currentIndex() != order) tabs->setCurrentIndex(order);
  }
  // The highlighted record stays highlighted, now in the new key's order.
  Position at;
  if (had && PositionOn(keep.row, &at)) {
    FillFrom(at, true);
    Show();
  } else {
    Open();
  }
}

void Browse::ScrollDown() {
  if (m_page.empty()) return;
  if (m_selected + 1 < static_cast<int>(m_page.size())) {
    ++m_selected;
    Show();
    return;
  }
  m_file.Reset(Key(), m_page.back().position);
  Row row;
  if (!ReadNext(&row) || !ReadNext(&row)) return;
  m_page.erase(m_page.begin());
  m_page.push_back(std::move(row));
  m_selected = static_cast<int>(m_page.size()) - 1;
  Show();
}

void Browse::ScrollUp() {
  if (m_page.empty()) return;
  if (m_selected > 0) {
    --m_selected;
    Show();
    return;
  }
  m_file.Reset(Key(), m_page.front().position);
  Row row;
  if (!ReadPrevious(&row)) return;
  m_page.pop_back();
  m_page.insert(m_page.begin(), std::move(row));
  m_selected = 0;
  Show();
}

void Browse::PageDown() {
  if (m_page.empty()) return;
  m_file.Reset(Key(), m_page.back().position);
  Row row;
  ReadNext(&row);  // the last row of the page itself
  std::vector<Row> more;
  while (static_cast<int>(more.size()) < m_pageSize && ReadNext(&row)) more.push_back(std::move(row));
  if (more.empty()) {
    m_selected = static_cast<int>(m_page.size()) - 1;
  } else {
    size_t keep = m_page.size() > more.size() ? m_page.size() - more.size() : 0;
    m_page.erase(m_page.begin(), m_page.end() - static_cast<long>(keep));
    m_page.insert(m_page.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    m_selected = std::min(static_cast<int>(m_page.size()) - 1, std::max(0, m_selected));
  }
  Show();
}

void Browse::PageUp() {
  if (m_page.empty()) return;
  m_file.Reset(Key(), m_page.front().position);
  std::vector<Row> more;
  Row row;
  while (static_cast<int>(more.size()) < m_pageSize && ReadPrevious(&row)) more.push_back(std::move(row));
  if (more.empty()) {
    m_selected = 0;
  } else {
    std::reverse(more.begin(), more.end());
    size_t keep = m_page.size() > more.size() ? m_page.size() - more.size() : 0;
    m_page.resize(keep);
    more.insert(more.end(), std::make_move_iterator(m_page.begin()), std::make_move_iterator(m_page.end()));
    m_page = std::move(more);
    m_selected = std::min(static_cast<int>(m_page.size()) - 1, std::max(0, m_selected));
  }
  Show();
}

void Browse::Top() { Open(); }

void Browse::Bottom() {
  SetToStart();
  std::vector<Row> rows;
  Row row;
  while (static_cast<int>(rows.size()) < m_pageSize && ReadPrevious(&row)) rows.push_back(std::move(row));
  std::reverse(rows.begin(), rows.end());
  m_page = std::move(rows);
  m_selected = static_cast<int>(m_page.size()) - 1;
  Show();
}

QScrollBar* Browse::ScrollBar() const { return m_view->Scroll(); }

int Browse::PageRows() const { return static_cast<int>(m_page.size()); }

std::string Browse::Cell(int row, int column) const {
  if (row < 0 || row >= static_cast<int>(m_page.size())) return std::string();
  const auto& cells = m_page[static_cast<size_t>(row)].cells;
  return column >= 0 && column < static_cast<int>(cells.size()) ? cells[static_cast<size_t>(column)] : std::string();
}

void Browse::SetSelectedRow(int row) {
  if (row < 0 || row >= static_cast<int>(m_page.size())) return;
  m_selected = row;
  Show();
}

bool Browse::TakeSelected() {
  if (m_selected < 0 || m_selected >= static_cast<int>(m_page.size())) return false;
  return m_file.Reget(m_page[static_cast<size_t>(m_selected)].position) == NoError;
}

int Browse::Ask(FormMode mode) {
  if (!m_form) return RequestCancelled;
  if (mode == FormMode::Insert) {
    m_file.Buffer().Clear();
  } else if (!TakeSelected()) {
    return RequestCancelled;
  }
  Position next;  // for a delete: where the page goes on
  bool haveNext = false;
  if (mode == FormMode::Delete) {
    size_t s = static_cast<size_t>(m_selected);
    if (s + 1 < m_page.size()) next = m_page[s + 1].position, haveNext = true;
    else if (s > 0) next = m_page[s - 1].position, haveNext = true;
    m_file.Reget(m_page[s].position);
  }
  int result = m_form(mode);
  if (result == RequestCompleted) {
    // The written record (or, after a delete, its neighbour), wherever the
    // key puts it now.
    int64_t row = mode == FormMode::Delete ? (haveNext ? next.row : 0) : m_file.GetPosition().row;
    Position at;
    bool found = PositionOn(row, &at);
    FillFrom(at, found);
    Show();
  }
  return result;
}

// ---------------------------------------------------------------------------
// Page model and view

int BrowsePageModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_browse->PageRows(); }
int BrowsePageModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_browse->m_columns.size());
}
QVariant BrowsePageModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return QVariant();
  if (role == Qt::DisplayRole) return Q(m_browse->Cell(index.row(), index.column()));
  // A cut cell (elided in the middle) shows its whole text as the tooltip.
  if (role == Qt::ToolTipRole) {
    QString text = Q(m_browse->Cell(index.row(), index.column()));
    if (CellIsCut(m_browse->View(), index.column(), text)) return text;
  }
  return QVariant();
}
QVariant BrowsePageModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= static_cast<int>(m_browse->m_columns.size()))
    return QVariant();
  return Q(m_browse->m_columns[static_cast<size_t>(section)].header);
}

BrowseView::BrowseView(Browse* browse) : m_browse(browse) {
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setStretchLastSection(true);
  // Our own scroll bar beside the rows: its steps move through the table.
  m_scroll = new QScrollBar(Qt::Vertical, this);
  m_scroll->setObjectName("BrowseScrollBar");
  m_scroll->setRange(0, 1000);
  m_scroll->setSingleStep(1);
  m_scroll->setPageStep(100);
  setViewportMargins(0, 0, m_scroll->sizeHint().width(), 0);
  connect(m_scroll, &QScrollBar::actionTriggered, this, [this](int action) {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: m_browse->ScrollDown(); break;
      case QAbstractSlider::SliderSingleStepSub: m_browse->ScrollUp(); break;
      case QAbstractSlider::SliderPageStepAdd: m_browse->PageDown(); break;
      case QAbstractSlider::SliderPageStepSub: m_browse->PageUp(); break;
      case QAbstractSlider::SliderToMinimum: m_browse->Top(); break;
      case QAbstractSlider::SliderToMaximum: m_browse->Bottom(); break;
      default: return;
    }
    m_scroll->setSliderPosition(m_browse->ScrollValue());
  });
  connect(m_scroll, &QScrollBar::sliderReleased, this, [this] {
    int at = m_scroll->sliderPosition();
    if (at <= 100) m_browse->Top();
    else if (at >= 900) m_browse->Bottom();
    m_scroll->setSliderPosition(m_browse->ScrollValue());
  });
}

void BrowseView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Down: m_browse->ScrollDown(); return;
    case Qt::Key_Up: m_browse->ScrollUp(); return;
    case Qt::Key_PageDown: m_browse->PageDown(); return;
    case Qt::Key_PageUp: m_browse->PageUp(); return;
    case Qt::Key_Home: m_browse->Top(); return;
    case Qt::Key_End: m_browse->Bottom(); return;
    default: break;
  }
  QString text = event->text();
  if (!text.isEmpty() && text[0].isPrint() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    // Typing in the list goes on in the locator.
    auto* locator = qobject_cast<QLineEdit*>(parentWidget() ? parentWidget()->findChild<QLineEdit*>("?Locate") : nullptr);
    if (locator) {
      locator->setText(locator->text() + text);
      m_browse->Locate(locator->text().toUtf8().toStdString());
      return;
    }
  }
  QTableView::keyPressEvent(event);
}

void BrowseView::wheelEvent(QWheelEvent* event) {
  int steps = event->angleDelta().y() / 120;
  for (int i = 0; i < std::abs(steps); ++i) steps > 0 ? m_browse->ScrollUp() : m_browse->ScrollDown();
  event->accept();
}

void BrowseView::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  QRect inside = contentsRect();
  int width = m_scroll->sizeHint().width();
  m_scroll->setGeometry(inside.right() - width + 1, inside.top(), width, inside.height());
  int rowHeight = std::max(1, verticalHeader()->defaultSectionSize());
  if (!m_browse->m_fixedPageSize) m_browse->FitPageSize(viewport()->height() / rowHeight);
}

// ---------------------------------------------------------------------------
// Update forms

std::string FormErrorText(FormMode mode, int code, const std::string& text) {
  const char* doing = mode == FormMode::Insert   ? "The record could not be added."
                      : mode == FormMode::Change ? "The record could not be changed."
                                                 : "The record could not be deleted.";
  return std::string(doing) + "|" + text + " (error " + std::to_string(code) + ")";
}

UpdateForm::UpdateForm(std::string procedureName, FileManager& file, RelationManager* relation, QRect du)
    : Window(std::move(procedureName), std::string(), du), m_file(file), m_relation(relation) {
  m_captions[FormMode::Insert] = "Adding a Record";
  m_captions[FormMode::Change] = "Changing a Record";
  m_captions[FormMode::Delete] = "Deleting a Record";
  m_captions[FormMode::View] = "Viewing a Record";
  int buttonY = du.height() - 18;
  m_ok = AddButton("?OK", "&OK", QRect(du.width() - 110, buttonY, 50, 14));
  m_cancel = AddButton("?Cancel", "&Cancel", QRect(du.width() - 55, buttonY, 50, 14));
  SetDefaultButton(m_ok);
  SetCancelButton(m_cancel);
  connect(this, &Window::accepted, this, [this](int field) {
    if (field == m_ok) {
      if (Complete()) Close();
    } else if (field == m_cancel) {
      m_result = RequestCancelled;
      Close();
    }
  });
}

void UpdateForm::SetCaption(FormMode mode, std::string caption) { m_captions[mode] = std::move(caption); }

void UpdateForm::SetReadOnly(bool readOnly) {
  for (int field : Fields()) {
    QWidget* w = ControlWidget(field);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->setReadOnly(readOnly);
    else if (field != m_ok && field != m_cancel && Type(field) != ControlType::Prompt &&
             Type(field) != ControlType::Sheet && Type(field) != ControlType::Tab && w)
      w->setEnabled(!readOnly || Type(field) == ControlType::Text);
    if (auto* text = qobject_cast<QPlainTextEdit*>(w)) text->setReadOnly(readOnly);
  }
}

int UpdateForm::Ask(FormMode mode) {
  m_mode = mode;
  m_result = RequestCancelled;
  if (mode == FormMode::Insert) m_file.Buffer().Clear();
  Window::SetCaption(m_captions[mode]);
  SetReadOnly(mode == FormMode::Delete || mode == FormMode::View);
  Hide(m_ok, mode == FormMode::View);
  SetText(m_ok, mode == FormMode::Delete ? "&Delete" : "&OK");
  // The procedure's opening code runs once the form is open (other events
  // may come first).
  auto opened = std::make_shared<QMetaObject::Connection>();
  *opened = connect(this, &Window::windowEvent, this, [this, opened](int event, int) {
    if (event != EventOpenWindow) return;
    disconnect(*opened);
    if (m_opening) m_opening(m_mode);
  });
  Run();
  disconnect(*opened);
  return m_result;
}

bool UpdateForm::Complete() {
  if (m_mode == FormMode::View) return false;
  if (m_mode == FormMode::Delete) {
    if (Message("Are you sure you want to delete the highlighted record?", "Confirm Delete", Icon::Question,
                ButtonYes | ButtonNo, ButtonNo) != ButtonYes)
      return false;
  } else {
    Update();
    if (m_check && !m_check()) return false;
  }
  int code;
  switch (m_mode) {
    case FormMode::Insert: code = m_relation ? m_relation->Insert() : m_file.TryInsert(); break;
    case FormMode::Change: code = m_relation ? m_relation->Update() : m_file.TryUpdate(); break;
    default: code = m_relation ? m_relation->Delete() : m_file.TryDelete(); break;
  }
  if (code != NoError) {
    std::string text = ErrorText();
    if (text.empty()) text = StandardErrorText(code);
    Message(FormErrorText(m_mode, code, text), m_captions[m_mode], Icon::Exclamation);
    return false;
  }
  m_result = RequestCompleted;
  return true;
}

}  // namespace mvn::framework

// What a person sees wrong in a window's layout: a label's, button's,
// check's, radio's, option's, tab's or column header's text wider (or
// taller) than its control, list rows cut so that two read alike (or cut
// without the whole text as a tooltip), a control reaching out of its parent (cut
// off), and two controls lying over each other. Controls are the widgets
// the framework named with their use name ("?..."); every tab of every
// sheet is looked at in turn. A control lying wholly on a sheet's page or
// inside an option's box is on it, not over it.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace mvntest {

namespace layout_detail {

inline std::string Name(const QWidget* w) { return w->objectName().toStdString(); }
inline std::string Text(const QString& t) { return t.toStdString(); }

inline bool IsControl(const QWidget* w) { return w->objectName().startsWith('?') && w->isVisible(); }

// A tab page: the widget a sheet shows for one tab.
inline QTabWidget* SheetOfPage(const QWidget* w) {
  auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget());
  return stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
}

// The rect in the window's coordinates.
inline QRect InWindow(const QWidget* w, const QWidget* top) { return QRect(w->mapTo(top, QPoint(0, 0)), w->size()); }

// Where other controls may lie on a container: a sheet's current page, an
// option's inside; an empty rect for a control that holds nothing.
inline QRect Inside(const QWidget* w, const QWidget* top) {
  if (auto* sheet = qobject_cast<const QTabWidget*>(w))
    return sheet->currentWidget() ? InWindow(sheet->currentWidget(), top) : QRect();
  if (SheetOfPage(w)) return InWindow(w, top);
  if (auto* box = qobject_cast<const QGroupBox*>(w))
    return box->contentsRect().translated(w->mapTo(top, QPoint(0, 0)));
  return QRect();
}

// The cells of a list as a person reads them: a text wider than its column
// must keep the rows apart (two different texts never show alike) and be
// whole in the cell's tooltip.
inline void CellFaults(const QTableView* table, std::vector<std::string>* faults) {
  const QAbstractItemModel* model = table->model();
  const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
  const int rows = std::min(model->rowCount(), 500);
  for (int c = 0; c < model->columnCount(); ++c) {
    if (table->isColumnHidden(c) || table->columnWidth(c) == 0) continue;
    const int room = table->columnWidth(c) - 2 * margin;
    std::map<QString, QString> shownAs;  // what a cut row shows -> its text
    for (int r = 0; r < rows; ++r) {
      QModelIndex i = model->index(r, c);
      QString text = i.data(Qt::DisplayRole).toString();
      if (text.isEmpty() || table->fontMetrics().horizontalAdvance(text) <= room) {
        shownAs.emplace(text, text);
        continue;
      }
      QString shown = table->fontMetrics().elidedText(text, table->textElideMode(), room);
      const std::string where = Name(table) + ": row " + std::to_string(r + 1) + " \"" + Text(text) + "\"";
      // A wrapped cell shows its first line only: what follows is lost.
      if (table->wordWrap()) faults->push_back(where + " is wrapped in a row of one line");
      if (i.data(Qt::ToolTipRole).toString() != text)
        faults->push_back(where + " is cut to \"" + Text(shown) + "\" without the whole text as its tooltip");
      auto [at, fresh] = shownAs.emplace(shown, text);
      if (!fresh && at->second != text)
        faults->push_back(where + " shows as \"" + Text(shown) + "\", as \"" + Text(at->second) + "\" does");
    }
  }
}

inline void TextFaults(const QWidget* w, std::vector<std::string>* faults) {
  auto fault = [&](const std::string& what, int need, int have) {
    faults->push_back(Name(w) + ": " + what + " needs " + std::to_string(need) + " px, the control gives " +
                      std::to_string(have));
  };
  if (auto* label = qobject_cast<const QLabel*>(w)) {
    if (label->text().isEmpty() || !label->pixmap().isNull()) return;
    if (label->wordWrap()) {
      int need = label->heightForWidth(label->width());
      if (need > label->height()) fault("the wrapped text \"" + Text(label->text()) + "\" (height)", need, label->height());
      return;
    }
    QSize need = label->sizeHint();
    if (need.width() > label->width()) fault("the text \"" + Text(label->text()) + "\"", need.width(), label->width());
    if (need.height() > label->height())
      fault("the text \"" + Text(label->text()) + "\" (height)", need.height(), label->height());
  } else if (auto* push = qobject_cast<const QPushButton*>(w)) {
    if (push->text().isEmpty()) return;
    QStyleOptionButton option;
    option.initFrom(push);
    option.text = push->text();
    option.features = push->isDefault() ? QStyleOptionButton::DefaultButton : QStyleOptionButton::None;
    QRect contents = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push);
    QSize text = push->fontMetrics().size(Qt::TextShowMnemonic, push->text());
    if (text.width() > contents.width()) fault("the text \"" + Text(push->text()) + "\"", text.width(), contents.width());
    if (text.height() > contents.height())
      fault("the text \"" + Text(push->text()) + "\" (height)", text.height(), contents.height());
  } else if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
    auto* button = static_cast<const QAbstractButton*>(w);
    QSize need = button->sizeHint();
    if (need.width() > w->width()) fault("the text \"" + Text(button->text()) + "\"", need.width(), w->width());
    int height = button->fontMetrics().height();
    if (height > w->height()) fault("the text \"" + Text(button->text()) + "\" (height)", height, w->height());
  } else if (auto* box = qobject_cast<const QGroupBox*>(w)) {
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    QRect title = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    int need = title.left() + box->fontMetrics().size(Qt::TextShowMnemonic, box->title()).width();
    if (need > box->width()) fault("the title \"" + Text(box->title()) + "\"", need, box->width());
  } else if (auto* sheet = qobject_cast<const QTabWidget*>(w)) {
    int need = sheet->tabBar()->sizeHint().width();
    if (need > sheet->width()) fault("the tabs", need, sheet->width());
  } else if (auto* table = qobject_cast<const QTableView*>(w)) {
    const QHeaderView* header = table->horizontalHeader();
    if (!header || header->isHidden() || !table->model()) return;
    int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    for (int i = 0; i < header->count(); ++i) {
      if (header->isSectionHidden(i) || header->sectionSize(i) == 0) continue;
      QString text = table->model()->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString();
      int need = header->fontMetrics().horizontalAdvance(text) + 2 * margin;
      // Columns to the right of the list's end are seen by scrolling; each
      // column's own width must hold its header.
      int have = header->sectionSize(i);
      if (need > have) fault("the column header \"" + Text(text) + "\"", need, have);
    }
    CellFaults(table, faults);
  }
}

// One look at the window as it is shown now.
inline void LookOnce(QWidget* top, std::vector<std::string>* faults) {
  std::vector<QWidget*> controls;
  for (QWidget* w : top->findChildren<QWidget*>())
    if (IsControl(w)) controls.push_back(w);
  for (QWidget* w : controls) {
    TextFaults(w, faults);
    // Cut off: the control reaches out of what holds it.
    QWidget* parent = w->parentWidget();
    if (parent && !QRect(QPoint(0, 0), parent->size()).contains(w->geometry()))
      faults->push_back(Name(w) + ": reaches out of " + (parent->objectName().isEmpty() ? "the window" : Name(parent)) +
                        " (" + std::to_string(w->geometry().right()) + "," + std::to_string(w->geometry().bottom()) +
                        " beyond " + std::to_string(parent->width() - 1) + "," + std::to_string(parent->height() - 1) +
                        ")");
  }
  for (size_t i = 0; i < controls.size(); ++i) {
    for (size_t j = i + 1; j < controls.size(); ++j) {
      QWidget* a = controls[i];
      QWidget* b = controls[j];
      if (a->isAncestorOf(b) || b->isAncestorOf(a)) continue;
      QRect ra = InWindow(a, top), rb = InWindow(b, top);
      if (!ra.intersects(rb)) continue;
      QRect ia = Inside(a, top), ib = Inside(b, top);
      if ((!ia.isEmpty() && ia.contains(rb)) || (!ib.isEmpty() && ib.contains(ra))) continue;
      faults->push_back(Name(a) + " and " + Name(b) + " overlap");
    }
  }
}

}  // namespace layout_detail

// Every fault of a shown window, each named once; every tab of every sheet
// is shown in turn (and the first tab again at the end).
inline std::vector<std::string> LayoutFaults(QWidget* top) {
  std::vector<std::string> all;
  std::set<std::string> seen;
  auto look = [&] {
    std::vector<std::string> faults;
    layout_detail::LookOnce(top, &faults);
    for (auto& f : faults)
      if (seen.insert(f).second) all.push_back(top->objectName().toStdString() + ": " + f);
  };
  look();
  for (QTabWidget* sheet : top->findChildren<QTabWidget*>()) {
    if (!sheet->isVisible()) continue;
    int current = sheet->currentIndex();
    for (int i = 0; i < sheet->count(); ++i) {
      if (!sheet->isTabVisible(i) || !sheet->isTabEnabled(i) || i == current) continue;
      sheet->setCurrentIndex(i);
      QApplication::processEvents();
      look();
    }
    sheet->setCurrentIndex(current);
    QApplication::processEvents();
  }
  return all;
}

}  // namespace mvntest

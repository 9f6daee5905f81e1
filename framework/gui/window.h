// Windows of the client framework on Qt 6 Widgets.
//
// A window belongs to a procedure (its name is the window's settings
// section) and holds controls. Each control has a field number, a use name
// ("?g_To", "?List2:3") and a control type. Field numbers are given in the
// order the controls are added: 1, 2, 3 ... for controls, -1, -2 ... for
// menu and toolbar items. Positions and sizes are dialog units: x in
// quarters and y in eighths of the window font's average character (one
// conversion, DialogUnits below).
//
// The accept loop of the procedure is the window's signals: every user
// action arrives as windowEvent(eventNumber, field); an accepted control (a button
// pressed, an entry changed and left, a menu item chosen, a list row
// double-clicked) also as accepted(field). During a handler CurrentEvent()
// and Field() tell what is being handled. A handler of CloseWindow can keep
// the window open with Cycle().
//
// Values bound to controls (Bind) are shown with Display() and read back
// with Update().
//
// Position and size are restored when the window opens and saved when it
// closes, in the settings file (SetSettingsFile) under the procedure's name:
// keys Maximize ("Yes"/"No"), XPos, YPos, Width, Height in dialog units.
// The position is the window's frame on the screen (title bar included),
// the size its client area below the menu bar and toolbar, so a layout in
// dialog units always fits. A window without a saved position opens centred
// on its owner (the window opened last that is still open), the first one
// centred on the screen; either way it is kept inside the screen's
// available area.
//
// Keyboard: a window opens with the focus on its first field (entry, text,
// list, drop list, check or radio that can take it), unless its opening
// code chose one; Enter presses the focused button, else the default
// button; Escape presses the cancel button, else closes a modal window.
// The default button is the one SetDefaultButton names, else the first of
// "?OK", "?Select", "?Save", "?Send", "?Close" the window has; the cancel
// button the one SetCancelButton names, else "?Cancel", "?Back" or "?Close".
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/core/ini.h"
#include "framework/core/runtime.h"
#include "framework/core/queue.h"
#include "framework/core/record.h"

class QWidget;
class QMainWindow;
class QMenu;
class QAction;
class QToolBar;

namespace mvn::framework {

enum class ControlType {
  Prompt, Entry, Text, Button, Check, Option, Radio, List, DropList, Sheet, Tab,
  Image, Progress, Box, Line, Region, String, Spin, Menu, Item, Browse, ToolButton,
};
// The type's name as the help tips know it: "PROMPT", "ENTRY", "BUTTON" ...
const char* ControlTypeName(ControlType type);

// Event numbers.
enum : int {
  EventAccepted = 0x01,
  EventNewSelection = 0x02,
  EventScrollUp = 0x03,
  EventScrollDown = 0x04,
  EventPageUp = 0x05,
  EventPageDown = 0x06,
  EventScrollTop = 0x07,
  EventScrollBottom = 0x08,
  EventLocate = 0x09,
  EventMouseUp = 0x0A,
  EventAlertKey = 0x0B,
  EventMouseMove = 0x0D,
  EventDrop = 0x0F,
  EventTabChanging = 0x10,
  EventCloseWindow = 0x201,
  EventOpenWindow = 0x202,
  EventIconize = 0x208,
  EventTimer = 0x20B,
  EventHelp = 0x500,
};

// Dialog units of the application font (the font every window shows its
// texts in): one conversion for every window. The base units are the
// font's average width of the letters A-Z and a-z and its line height, so
// a layout given in dialog units grows with the font's size and the
// screen's resolution.
struct DialogUnits {
  static int BaseX();  // average letter width in pixels
  static int BaseY();  // line height in pixels
  static QRect ToPixels(const QRect& du);
  static QRect FromPixels(const QRect& px);
  static int XToPixels(int du);
  static int YToPixels(int du);
  static int XFromPixels(int px);
  static int YFromPixels(int px);
};

// A column of a list over a queue or of a browse.
struct Column {
  std::string header;
  std::string field;  // field name of the queue's (or file's) layout
  int width = 60;     // dialog units; 0 hides the column
};

class ListControl;

class Window : public QObject {
  Q_OBJECT

 public:
  Window(std::string procedureName, std::string caption, QRect du = QRect(0, 0, 300, 200));
  ~Window() override;

  const std::string& ProcedureName() const { return m_procedure; }
  QMainWindow* Widget() const { return m_main; }

  // -------------------------------------------------------------------------
  // Controls. parent is 0 (the window) or the field number of a tab.
  int Add(ControlType type, std::string useName, QWidget* widget, QRect du, int parent = 0);
  int AddPrompt(std::string useName, std::string text, QRect du, int parent = 0);
  int AddEntry(std::string useName, QRect du, int maxBytes = 0, int parent = 0);
  int AddText(std::string useName, QRect du, int parent = 0);  // multi-line
  int AddButton(std::string useName, std::string text, QRect du, int parent = 0);
  int AddCheck(std::string useName, std::string text, QRect du, int parent = 0);
  int AddOption(std::string useName, std::string text, QRect du, int parent = 0);
  // A radio of an option; its value is what the option's Text reads.
  int AddRadio(int option, std::string useName, std::string text, std::string value, QRect du);
  int AddDropList(std::string useName, QRect du, std::vector<std::string> items, int parent = 0);
  int AddSheet(std::string useName, QRect du, int parent = 0);
  int AddTab(int sheet, std::string useName, std::string text);
  // A list over a queue; markField names the BYTE field that carries the
  // highlight of multi-select lists ("" for a single-selection list).
  int AddList(std::string useName, QRect du, Queue* queue, std::vector<Column> columns,
              std::string markField = std::string(), int parent = 0);

  // Menus: 0 is the menu bar. Items and menus get negative field numbers.
  int AddMenu(std::string useName, std::string text, int parentMenu = 0);
  int AddItem(std::string useName, std::string text, int menu, std::string helpLine = std::string());
  int AddSeparator(int menu);
  // A toolbar button (the window's one toolbar is made on first use); its
  // field number is negative like a menu item's. icon: an image file, or
  // empty for a text button.
  int AddToolButton(std::string useName, std::string text, std::string icon = std::string(),
                    std::string tip = std::string());
  // Removes a menu control (a menu with everything in it).
  void RemoveMenuControl(int field);
  void SetChecked(int field, bool checked);
  bool IsChecked(int field) const;

  // -------------------------------------------------------------------------
  // Lookup.
  bool Has(int field) const { return m_controls.count(field) != 0; }
  int FieldOf(std::string_view useName) const;  // 0 when unknown (no case)
  std::string UseName(int field) const;
  ControlType Type(int field) const;
  QWidget* ControlWidget(int field) const;
  QAction* MenuAction(int field) const;
  std::vector<int> Fields() const;  // ascending
  ListControl* List(int field) const;
  // The current row (1-based, 0 when none) of a list, or the chosen entry
  // of a drop list; SetChoice moves it.
  int Choice(int field) const;
  void SetChoice(int field, int row);

  // -------------------------------------------------------------------------
  // Properties.
  void SetText(int field, std::string_view text);
  std::string Text(int field) const;
  void Disable(int field, bool disabled = true);
  bool IsDisabled(int field) const;
  void Hide(int field, bool hidden = true);
  bool IsHidden(int field) const;
  void SetPosition(int field, QRect du);
  QRect Position(int field) const;  // dialog units
  // Style bits: 1 bold, 2 italic, 4 underline. colour 0xRRGGBB or -1.
  void SetFont(int field, std::string_view face, int points, int style = 0, int colour = -1);
  void SetCursor(int field, Qt::CursorShape shape);
  void SetWindowCursor(bool busy);
  void Select(int field);  // gives it the focus
  // The buttons Enter and Escape press (see the keyboard rules above).
  void SetDefaultButton(int field);
  void SetCancelButton(int field);
  int EnterButton() const;   // 0 when Enter presses nothing
  int EscapeButton() const;  // 0 when there is no cancel button
  void SetCaption(std::string_view caption);
  std::string Caption() const;
  // Window position (of its frame) and client size, dialog units.
  void SetWindowPosition(QRect du);
  QRect WindowPosition() const;
  void Minimise();
  bool IsMinimised() const;

  // -------------------------------------------------------------------------
  // Bound values.
  void Bind(int field, Record* record, std::string fieldName);
  // Shows the bound values (field 0: every control; lists are refilled from
  // their queues).
  void Display(int field = 0);
  // Reads the controls back into the bound values (field 0: every control).
  void Update(int field = 0);

  // -------------------------------------------------------------------------
  // The loop.
  // Shows the window (restoring its geometry) and posts OpenWindow.
  void Open();
  // Opens and waits until it has closed (modal).
  void Run();
  // Closes the window (saving its geometry); posts CloseWindow first.
  void Close();
  bool IsOpen() const { return m_open; }
  // In a CloseWindow handler: the window stays open.
  void Cycle() { m_cycle = true; }
  // Raises an event as the user would.
  void Post(int event, int field = 0);
  int CurrentEvent() const { return m_event; }
  int Field() const { return m_field; }

  // Drop: the source of the drop being handled.
  int DropSource() const { return m_dropSource; }
  int DropSourceRow() const { return m_dropSourceRow; }
  int DropRow() const { return m_dropRow; }
  // Lets rows of list source be dragged onto list target.
  void AllowDrag(int source, int target);
  void DeliverDrop(int source, int sourceRow, int target, int targetRow);

  // -------------------------------------------------------------------------
  // Geometry in the settings file.
  static void SetSettingsFile(const IniFile* ini);
  // Whether closing windows writes their placement (on by default). A
  // program shown on a platform that draws nowhere turns it off: a
  // placement from there would move the windows of the next run shown on a
  // screen. Placements are still read.
  static void SetPlacementSaved(bool saved);
  void RestoreGeometry();
  void SaveGeometry() const;

 signals:
  void accepted(int field);
  void windowEvent(int event, int field);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Control {
    ControlType type;
    std::string useName;
    QPointer<QWidget> widget;
    QAction* action = nullptr;  // menu items and menus
    QMenu* menu = nullptr;      // menus
    int parent = 0;
    int option = 0;             // radios: their option
    std::string value;          // radios
    std::vector<int> radios;    // options
    Record* record = nullptr;   // binding
    std::string boundField;
    QRect du;
    std::string lastText;       // entries: text when focus came
    bool limited = false;       // texts: byte limit of the bound field set
  };
  Control* Find(int field);
  const Control* Find(int field) const;
  // After a new text (a translation): a label, button, check or radio
  // wider than its text needs grows from its built size into the free
  // room beside it, to the right first, never over another control or out
  // of its parent; back at its built size when the text fits again.
  void FitText(Control& control);
  QWidget* ParentWidget(int parent) const;
  int NextField(bool menu);
  void Raise(int event, int field);
  void Wire(int field);
  void DisplayOne(int field, Control& control);
  void UpdateOne(int field, Control& control);
  // Placement when the window opens.
  Window* Owner() const;
  int BarsHeight() const;
  void Place(const Window* owner, bool centre);
  void FocusFirstField();
  bool KeyPressed(int key);

  std::string m_procedure;
  QMainWindow* m_main;
  QWidget* m_canvas;
  std::map<int, Control> m_controls;
  int m_nextField = 1;
  int m_nextMenu = -1;
  int m_event = 0;
  int m_field = 0;
  bool m_cycle = false;
  bool m_open = false;
  bool m_closing = false;
  bool m_destroying = false;
  bool m_placed = false;       // a position was given or restored
  bool m_modal = false;
  bool m_focusChosen = false;  // the opening code gave a control the focus
  int m_defaultButton = 0, m_cancelButton = 0;
  QSize m_clientSize;          // pixels, below the menu bar and toolbar
  int m_dropSource = 0, m_dropSourceRow = 0, m_dropRow = 0;
  std::multimap<int, int> m_dragTargets;
  QRect m_du;
  QToolBar* m_toolbar = nullptr;
};

// START: opens a procedure's window without waiting. The procedure builds
// its window (on the GUI thread, also when Start is called from another
// thread) and returns it; the window is shown non-modal and deleted when it
// closes. Returns the started window's id (non-zero). With controlType
// "IDE" the procedure's window runs modally on the calling thread and 0 is
// returned. Called from another thread, Start waits until the GUI thread
// has built the window, so the GUI thread must not be waiting for that
// thread meanwhile.
int Start(std::function<std::unique_ptr<Window>()> procedure, std::string_view controlType = {});
// The started window of an id, nullptr when it has closed.
Window* Started(int id);
// Posts an event to a started window (from any thread).
void PostTo(int id, int event, int field = 0);

// Closes every started window (each saves its geometry). The first Start
// registers it as shut-down work of the framework's Halt (runtime.h), so
// HALT closes the windows before the dictionary closes the files.
void CloseStartedWindows();

}  // namespace mvn::framework

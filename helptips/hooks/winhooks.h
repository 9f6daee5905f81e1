// The small event-hook library under the help-tip hooks.
//
// A window is hooked for chosen messages; each watch entry (window,
// message, action bits) decides what happens when the message arrives at
// the window or at one of its child widgets. The messages keep their
// classic numbers so entries read the same as the tables that describe
// them; Qt events are mapped onto them (a close, the What's-This help, F1,
// mouse buttons and moves, timers). Hooking is an application event filter,
// so widgets are never subclassed and no native window id is needed.
//
// Action bits: 8 map the message to a framework event and post it to the
// window; 4 post the help event (EventHelp) to the window; 2 let the widget
// handle the event too (pass on); without 2 the event is consumed (bit 1,
// the classic result, has no further meaning here). Bit 8 is tested before
// bit 4. Posting is queued, so a handler never runs inside the event that
// raised it.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstddef>
#include <vector>

namespace mvn::framework {
class Window;
}

namespace mvn::helptips::winhooks {

enum Message : int {
  MsgEndSession = 0x16,
  MsgClose = 0x10,
  MsgHelp = 0x53,
  MsgNcMouseMove = 0xA0,
  MsgNcLButtonDown = 0xA1,
  MsgNcLButtonUp = 0xA2,
  MsgNcRButtonDown = 0xA4,
  MsgNcRButtonUp = 0xA5,
  MsgNcMButtonDown = 0xA7,
  MsgNcMButtonUp = 0xA8,
  MsgTimer = 0x113,
  MsgMouseMove = 0x200,
  MsgLButtonDown = 0x201,
  MsgLButtonUp = 0x202,
  MsgRButtonDown = 0x204,
  MsgRButtonUp = 0x205,
  MsgMButtonDown = 0x207,
  MsgMButtonUp = 0x208,
};

enum Action : int { ActionTrue = 1, ActionPass = 2, ActionHelp = 4, ActionMap = 8 };

// The framework event a message maps to (bit 8), 0 for none.
int MessageEvent(int message);

// Hooks the window for the messages first..last (every message of the
// range is registered, also for a window that had no entry yet). An
// existing entry of the window and message takes the new action.
void HookWindow(mvn::framework::Window* window, int first, int last, int action);
// Removes every entry of the window's widget and of each of its child
// widgets. A window never hooked changes nothing.
void UnhookWindowAndChildren(mvn::framework::Window* window);
// Removes the entries of one widget.
void RestoreWindowProcedures(QWidget* widget);

// Help-only mode: only the help message is looked at; every other event
// goes on to its widget untouched.
void SetHelpOnly(bool on);
bool HelpOnly();

// The widget that received the last help message of the window (the
// focused widget for F1, the clicked one for What's This), captured when
// the event arrived; nullptr when none or gone.
QWidget* HelpWidget(mvn::framework::Window* window);
// Forgets it.
void ClearHelpWidget(mvn::framework::Window* window);

struct WatchEntry {
  QPointer<QWidget> widget;
  mvn::framework::Window* window = nullptr;
  int message = 0;
  int action = 0;
};
// The watch list, in order of widget address; and the message list.
std::vector<WatchEntry> WatchList();
std::vector<int> MessageList();

// Session end (the session manager's commit request or SIGTERM) closes
// every hooked window through its normal close, so settings are written.
void CloseOnSessionEnd();
// The same by hand (what the signal handler triggers).
void EndSession();

}  // namespace mvn::helptips::winhooks

// The send-log and confirmation windows, modal procedures over sendlog.h.
#pragma once

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/records/records.h"
#include "client/sendlog/sendlog.h"
#include "framework/core/ini.h"
#include "framework/gui/window.h"

namespace mvn::client {

// "Confirmation": the summary of the send about to be made. Returns the
// confirmation flag: true for "S&end", false for "&Cancel", Escape or the
// title bar. "&Show Send_to_List..." opens SendToList. Writes Width and
// Height into [ConfirmBeforeSend] of the client INI when it closes.
bool ConfirmBeforeSend(framework::Window* parent, Dictionary& dictionary, framework::IniFile& clientIni,
                       const SingleRecipient& recipient, SendJob& job);

// "\"Send to\" List": g_QsendTo with its marks, the send-to option, the
// replace-attention flag and name (in job); returns the total of
// destinations after it closed.
int SendToList(framework::Window* parent, Dictionary& dictionary, SendJob& job);

// "View Sendlog": the send log with its viewers, Re-Send and Delete. Clears
// job.resend when it opens. Returns true when Re-Send refilled job, the
// queues and *fields (the window then closed).
bool ViewSendLog(framework::Window* parent, Dictionary& dictionary, const framework::IniFile& clientIni,
                 SendJob& job, ResendFields* fields);

// "Resubmit": the three choices and the job number; "&Send" writes and
// starts the resubmit request. Returns its result (nothing written on
// Cancel).
SendResult RetryUnseccessful(framework::Window* parent, const framework::IniFile& clientIni, Prompter& prompter);

// The viewer of the send-log window: starts the command line for the kept
// copy at path without waiting; tells the user when there is no copy, when
// its name cannot be passed (no command line) or when the start failed.
void StartViewer(const std::string& commandLine, const std::string& what, const std::string& path);

}  // namespace mvn::client

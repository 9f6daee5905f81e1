// The notification source NOTIFYSMTP of the two SMTP modules. Its rows have
// no texts, so a raised one formats as its name and inserts (and a module
// shows none anyway).
#pragma once

#include "lib/notify.h"

constexpr DWORD NOTIFY_MOVEWORKINGX = 0x1001;
constexpr DWORD NOTIFY_SMEFUNCTIONERROR = 0x1002;
constexpr DWORD NOTIFY_SENDFILESUCCESS = 0x1003;
constexpr DWORD NOTIFY_SENDFILEFAILED = 0x1004;

// The registered source; a module that references it links it in.
CNOTIFYSOURCE* NotifySmtpSource();

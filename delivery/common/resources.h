// The dialog and string resources every delivery module carries.
#pragma once

#include "platform/dialogs/dialogs.h"

// String resources.
constexpr UINT IDS_WORK_OFFLINE = 1;
constexpr UINT IDS_CONFIGURE_DELIVERY_OPTIONS = 2;

// Dialog templates and control ids.
constexpr WORD IDD_IDENTITY = 101;  // dlvmapi: 102
constexpr WORD IDD_TRANSPORT = 102; // dlvmapi: 103

constexpr int IDC_KEEP_FILES = 1005;
constexpr int IDC_IDENTITY_TOKEN = 1007;
constexpr int IDC_YOUR_NAME = 1008;
constexpr int IDC_EMAIL_ADDRESS = 1009;

constexpr int IDC_SMTP_SERVER = 1000;
constexpr int IDC_SENT_FROM = 1001;
constexpr int IDC_REPLY_TO = 1002;
constexpr int IDC_SEND_TO = 1004;

// Copies string resource id into buffer (at most size - 1 bytes and a NUL,
// never splitting a UTF-8 sequence); returns the bytes copied, 0 when there
// is no such string.
int LoadModuleString(UINT id, char* buffer, int size);

// The "Your Identity" page under the given template id, and the SMTP
// options page (template 102).
DialogTemplate IdentityPageTemplate(WORD id);
DialogTemplate SmtpOptionsTemplate();

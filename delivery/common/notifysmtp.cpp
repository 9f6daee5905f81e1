// NOTIFYSMTP: registered when the module's library starts.
#include "delivery/common/notifysmtp.h"

namespace {

NOTIFYDEF g_notifySmtpTable[] = {
    {NOTIFY_MOVEWORKINGX, "NOTIFY_MOVEWORKINGX", 0, 0, 0, 0},
    {NOTIFY_SMEFUNCTIONERROR, "NOTIFY_SMEFUNCTIONERROR", 0, 0, 0, 0},
    {NOTIFY_SENDFILESUCCESS, "NOTIFY_SENDFILESUCCESS", 0, 0, 0, 0},
    {NOTIFY_SENDFILEFAILED, "NOTIFY_SENDFILEFAILED", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};

}  // namespace

MVN_STATIC_OBJECT(CNOTIFYSOURCE, g_notifySmtp, "NOTIFYSMTP", g_notifySmtpTable);

CNOTIFYSOURCE* NotifySmtpSource() { return g_notifySmtp.Get(); }

// dlvmapi: delivers a job file as the attachment "ATTACH.MVN" of a message
// submitted from the Outbox of the default message store, addressed to a
// recipient the address book resolves, then asks one transport to flush
// its queues. The messaging library (mapi32) is loaded by name at the first
// use; the session opens at the first send and stays open until Terminate.
#pragma once

#include "delivery/common/module.h"
#include "platform/mapi/mapi.h"

// The messaging library's entry points, bound once per module.
struct MAPILIBRARY {
  HMODULE module = nullptr;
  mvn::mapi::MAPIINITIALIZE initialize = nullptr;
  mvn::mapi::MAPILOGONEX logonEx = nullptr;
  mvn::mapi::MAPIALLOCATEBUFFER allocateBuffer = nullptr;
  mvn::mapi::MAPIFREEBUFFER freeBuffer = nullptr;
  mvn::mapi::MAPIADMINPROFILES adminProfiles = nullptr;
  mvn::mapi::HRQUERYALLROWS queryAllRows = nullptr;
  mvn::mapi::FREEPROWS freeProws = nullptr;
  mvn::mapi::MAPIUNINITIALIZE uninitialize = nullptr;
};

// The MAPI module's record: the common head, then its own part.
struct MAPIRECORD : DELIVERYRECORD {
  CTEXTBUF64 m_profile;    // MAPILogonProfile
  CTEXTBUF64 m_password;   // MAPILogonPassword
  CTEXTBUF64 m_deliverTo;  // MAPIDeliverTo
  CTEXTBUF64 m_transport;  // MAPITransport
  bool m_senderDefaults;   // SenderDefaults
  bool m_sessionOpen;
  bool m_initialized;                // MAPIInitialize succeeded for the session
  mvn::mapi::HRESULT m_lastFailure;  // the last failed result of a send
  mvn::mapi::IMAPISession* m_session;
  mvn::mapi::IMsgStore* m_store;
  mvn::mapi::IMAPIFolder* m_outbox;
  CTEXTBUF<256> m_lastResult;  // empty until the first failure

  MAPIRECORD()
      : m_senderDefaults(false),
        m_sessionOpen(false),
        m_initialized(false),
        m_lastFailure(0),
        m_session(nullptr), m_store(nullptr), m_outbox(nullptr) {}
};

constexpr WORD IDD_MAPI_IDENTITY = 102;
constexpr WORD IDD_MAPI_OPTIONS = 103;
constexpr int IDC_LOGON_PROFILE = 1000;
constexpr int IDC_DELIVER_TO = 1002;
constexpr int IDC_DELIVER_TRANSPORT = 1003;
constexpr int IDC_SELECT_ADDRESS = 1004;

// The "MAPI Delivery Options" page (template 103).
class MapiOptionsPage : public CPROPERTYPAGE {
 public:
  INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool IsChange(WORD controlId, WORD notificationCode) override;
  bool Apply(HWND window) override;

  CTEXTBUF64 m_profile;
  CTEXTBUF64 m_password;
  CTEXTBUF64 m_deliverTo;
  CTEXTBUF64 m_transport;
  bool m_transportsListed = false;
  bool m_profilesListed = false;
};

DialogTemplate MapiOptionsTemplate();

namespace mvn::delivery::mapi {

MapiOptionsPage* OptionsPage();

// Binds the messaging library (beside this module, else by name along the
// search path). False, with the reason in *why, when it cannot be loaded.
bool LoadMapiLibrary(CTEXT* why);
const MAPILIBRARY& Library();
// Unloads the library (at module unload).
void UnloadMapiLibrary();

// The name of a result: the table of MAPI and COM codes, first match wins;
// "Unknown" for a code not in it.
const char* MapiErrorName(mvn::mapi::HRESULT result);
// Negative: last-result text := the result's name, false. Else true.
bool CheckResult(MAPIRECORD* record, const char* operation, mvn::mapi::HRESULT result);

bool OpenDefaultStore(MAPIRECORD* record);
bool OpenOutbox(MAPIRECORD* record);
bool SetRecipient(MAPIRECORD* record, mvn::mapi::IMessage* message, const char* name);
bool SetAttachment(MAPIRECORD* record, mvn::mapi::IMessage* message, const char* jobFile);
bool FlushTransport(MAPIRECORD* record);
void CloseSession(MAPIRECORD* record);

// Page operations.
void ListProfiles(HWND combo);
void ListTransports(HWND combo, const char* profile, const char* password);
bool AddWorkOffline(HWND combo, CTEXT* transport);
bool SelectAddress(HWND parent, const char* profile, const char* password, CTEXT* name);

// The five operations behind the exports.
MAPIRECORD* Initialize(CCONFIG* config);
bool Configure(MAPIRECORD* record, CCONFIG* config);
bool SendFile(MAPIRECORD* record, const char* jobFile);
int Terminate(MAPIRECORD* record);
const char* GetLastResult(MAPIRECORD* record);

}  // namespace mvn::delivery::mapi

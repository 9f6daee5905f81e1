// The MAPI delivery module.
#include "delivery/mapi/mapimodule.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "platform/module/module.h"

using namespace mvn::mapi;

MVN_STATIC_OBJECT(MapiOptionsPage, g_mapiOptionsPage);

namespace {

// Bound entry points; constant-initialised, so no global constructor.
MAPILIBRARY g_library;

constexpr DWORD kEditStyle = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;
constexpr DWORD kListStyle = CBS_DROPDOWNLIST | WS_TABSTOP;

constexpr DialogControl kMapiControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "Logon Profile :", 15, 18, 62, 8, 0},
    {IDC_LOGON_PROFILE, DialogControlKind::ComboBox, "", 80, 16, 118, 60, kListStyle},
    {IDC_STATIC, DialogControlKind::Static, "Deliver To :", 15, 40, 62, 8, 0},
    {IDC_DELIVER_TO, DialogControlKind::Edit, "", 80, 38, 100, 12, kEditStyle},
    {IDC_SELECT_ADDRESS, DialogControlKind::PushButton, "...", 184, 38, 14, 12, WS_TABSTOP},
    {IDC_STATIC, DialogControlKind::Static, "Deliver Transport :", 15, 62, 62, 8, 0},
    {IDC_DELIVER_TRANSPORT, DialogControlKind::ComboBox, "", 80, 60, 118, 60, kListStyle},
};

struct ErrorName {
  HRESULT code;
  const char* name;
};

// Searched in order; the first row with the code names it.
constexpr ErrorName kErrorNames[] = {
    {SUCCESS_SUCCESS, "SUCCESS_SUCCESS"},
    {MAPI_E_CALL_FAILED, "MAPI_E_CALL_FAILED"},
    {MAPI_E_NOT_ENOUGH_MEMORY, "MAPI_E_NOT_ENOUGH_MEMORY"},
    {MAPI_E_INVALID_PARAMETER, "MAPI_E_INVALID_PARAMETER"},
    {MAPI_E_INTERFACE_NOT_SUPPORTED, "MAPI_E_INTERFACE_NOT_SUPPORTED"},
    {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS"},
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT"},
    {MAPI_E_BAD_CHARWIDTH, "MAPI_E_BAD_CHARWIDTH"},
    {MAPI_E_STRING_TOO_LONG, "MAPI_E_STRING_TOO_LONG"},
    {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS"},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID"},
    {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT"},
    {MAPI_E_OBJECT_CHANGED, "MAPI_E_OBJECT_CHANGED"},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED"},
    {MAPI_E_BUSY, "MAPI_E_BUSY"},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK"},
    {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES"},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
    {MAPI_E_VERSION, "MAPI_E_VERSION"},
    {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED"},
    {MAPI_E_SESSION_LIMIT, "MAPI_E_SESSION_LIMIT"},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL"},
    {MAPI_E_UNABLE_TO_ABORT, "MAPI_E_UNABLE_TO_ABORT"},
    {MAPI_E_NETWORK_ERROR, "MAPI_E_NETWORK_ERROR"},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR"},
    {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX"},
    {MAPI_E_BAD_COLUMN, "MAPI_E_BAD_COLUMN"},
    {MAPI_E_EXTENDED_ERROR, "MAPI_E_EXTENDED_ERROR"},
    {MAPI_E_COMPUTED, "MAPI_E_COMPUTED"},
    {MAPI_E_END_OF_SESSION, "MAPI_E_END_OF_SESSION"},
    {MAPI_E_UNKNOWN_ENTRYID, "MAPI_E_UNKNOWN_ENTRYID"},
    {MAPI_E_MISSING_REQUIRED_COLUMN, "MAPI_E_MISSING_REQUIRED_COLUMN"},
    {MAPI_W_NO_SERVICE, "MAPI_W_NO_SERVICE"},
    {MAPI_E_BAD_VALUE, "MAPI_E_BAD_VALUE"},
    {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE"},
    {MAPI_E_TYPE_NO_SUPPORT, "MAPI_E_TYPE_NO_SUPPORT"},
    {MAPI_E_UNEXPECTED_TYPE, "MAPI_E_UNEXPECTED_TYPE"},
    {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG"},
    {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED"},
    {MAPI_E_UNABLE_TO_COMPLETE, "MAPI_E_UNABLE_TO_COMPLETE"},
    {MAPI_E_TABLE_EMPTY, "MAPI_E_TABLE_EMPTY"},
    {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG"},
    {MAPI_E_INVALID_BOOKMARK, "MAPI_E_INVALID_BOOKMARK"},
    {MAPI_W_POSITION_CHANGED, "MAPI_W_POSITION_CHANGED"},
    {MAPI_W_APPROX_COUNT, "MAPI_W_APPROX_COUNT"},
    {MAPI_E_WAIT, "MAPI_E_WAIT"},
    {MAPI_E_CANCEL, "MAPI_E_CANCEL"},
    {MAPI_E_NOT_ME, "MAPI_E_NOT_ME"},
    {MAPI_W_CANCEL_MESSAGE, "MAPI_W_CANCEL_MESSAGE"},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE"},
    {MAPI_E_NOT_IN_QUEUE, "MAPI_E_NOT_IN_QUEUE"},
    {MAPI_E_NO_SUPPRESS, "MAPI_E_NO_SUPPRESS"},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION"},
    {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED"},
    {MAPI_E_NON_STANDARD, "MAPI_E_NON_STANDARD"},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS"},
    {MAPI_E_SUBMITTED, "MAPI_E_SUBMITTED"},
    {MAPI_E_HAS_FOLDERS, "MAPI_E_HAS_FOLDERS"},
    {MAPI_E_HAS_MESSAGES, "MAPI_E_HAS_MESSAGES"},
    {MAPI_E_FOLDER_CYCLE, "MAPI_E_FOLDER_CYCLE"},
    {MAPI_W_PARTIAL_COMPLETION, "MAPI_W_PARTIAL_COMPLETION"},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_HANDLE, "E_HANDLE"},
    {E_ABORT, "E_ABORT"},
    {E_FAIL, "E_FAIL"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
};
static_assert(sizeof kErrorNames / sizeof kErrorNames[0] == 72, "the error-name table has 72 rows");

constexpr FLAGS kLogonFlags = MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE;
constexpr DWORD kJobBlock = 8192;

// Results after which the session is of no further use: it is closed so
// that the next send logs on again.
bool EndsSession(HRESULT result) {
  return result == MAPI_E_END_OF_SESSION || result == MAPI_E_LOGON_FAILED || result == MAPI_E_NOT_INITIALIZED ||
         result == MAPI_E_NETWORK_ERROR;
}

// A failure without a MAPI result: its text names the step, so the host
// never shows an empty or a stale text.
bool Fail(MAPIRECORD* record, const char* text) {
  record->m_lastResult.Assign(text);
  return false;
}

bool EqualsNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (!x) return true;
  }
}

// A property of a row or array by its full tag; an error-typed value (the
// property is missing) is no value.
const SPropValue* PropOf(const SPropValue* props, ULONG count, ULONG tag) {
  for (ULONG i = 0; props && i < count; ++i)
    if (props[i].ulPropTag == tag) return &props[i];
  return nullptr;
}

void SetControlText(HWND window, int id, const CTEXT* text) { SetDlgItemTextFrom(window, id, text); }

LRESULT ComboAdd(HWND combo, const char* text) {
  return SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void ComboSelectText(HWND combo, const CTEXT& text, LRESULT fallback) {
  LRESULT index = text.IsEmpty() ? CB_ERR
                                 : SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                                reinterpret_cast<LPARAM>(text.Text()));
  if (index == CB_ERR) index = fallback;
  if (index != CB_ERR) SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string ComboItem(HWND combo, LRESULT index) {
  LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return std::string();
  std::string buffer(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
  return buffer.c_str();
}

// Whether the list holds the text exactly (CB_FINDSTRINGEXACT ignores case).
bool ComboHoldsExactly(HWND combo, const char* text) {
  LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i)
    if (ComboItem(combo, i) == text) return true;
  return false;
}

void ComboText(HWND combo, CTEXT* text) {
  text->Assign("");
  LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  text->Assign(ComboItem(combo, index).c_str());
}

// The transport-provider rows of a status table, with the columns the
// module reads.
HRESULT QueryTransportRows(IMAPITable* table, SRowSet** rows) {
  SizedSPropTagArray<4> columns = {4, {PR_RESOURCE_TYPE, PR_RESOURCE_METHODS, PR_PROVIDER_DISPLAY, PR_ENTRYID}};
  SPropValue transportType{};
  transportType.ulPropTag = PR_RESOURCE_TYPE;
  transportType.Value.l = MAPI_TRANSPORT_PROVIDER;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = {RELOP_EQ, PR_RESOURCE_TYPE, &transportType};
  return g_library.queryAllRows(table, columns.Get(), &restriction, nullptr, 0, rows);
}

}  // namespace

DialogTemplate MapiOptionsTemplate() {
  return {IDD_MAPI_OPTIONS, "MAPI Delivery Options", 212, 108, "MS Sans Serif", 8, 0, kMapiControls,
          static_cast<UINT>(sizeof kMapiControls / sizeof kMapiControls[0])};
}

INT_PTR MapiOptionsPage::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    HWND profiles = GetDlgItem(window, IDC_LOGON_PROFILE);
    SendMessageA(profiles, CB_RESETCONTENT, 0, 0);
    if (!m_profile.IsEmpty()) {
      ComboAdd(profiles, m_profile.Text());
      SendMessageA(profiles, CB_SETCURSEL, 0, 0);
    }
    SetControlText(window, IDC_DELIVER_TO, &m_deliverTo);
    HWND transports = GetDlgItem(window, IDC_DELIVER_TRANSPORT);
    CTEXTBUF64 offline;
    mvn::delivery::mapi::AddWorkOffline(transports, &offline);
    if (!m_transport.IsEmpty() && !EqualsNoCase(m_transport.Text(), offline.Text())) {
      ComboAdd(transports, m_transport.Text());
      SendMessageA(transports, CB_SETCURSEL, 1, 0);
    } else {
      SendMessageA(transports, CB_SETCURSEL, 0, 0);
    }
    m_profilesListed = false;
    m_transportsListed = false;
    return 0;
  }
  if (message != WM_COMMAND) return 0;
  WORD id = LOWORD(wParam);
  WORD code = HIWORD(wParam);
  if (id == IDC_LOGON_PROFILE && code == CBN_DROPDOWN && !m_profilesListed) {
    mvn::delivery::mapi::ListProfiles(GetDlgItem(window, IDC_LOGON_PROFILE));
    m_profilesListed = true;
  } else if (id == IDC_LOGON_PROFILE && code == CBN_SELCHANGE) {
    m_transportsListed = false;
    ComboText(GetDlgItem(window, IDC_LOGON_PROFILE), &m_profile);
  } else if (id == IDC_DELIVER_TRANSPORT && code == CBN_DROPDOWN && !m_transportsListed) {
    mvn::delivery::mapi::ListTransports(GetDlgItem(window, IDC_DELIVER_TRANSPORT), m_profile.Text(), m_password.Text());
    m_transportsListed = true;
  } else if (id == IDC_SELECT_ADDRESS && code == BN_CLICKED) {
    CTEXTBUF64 name;
    if (mvn::delivery::mapi::SelectAddress(window, m_profile.Text(), m_password.Text(), &name))
      SetControlText(window, IDC_DELIVER_TO, &name);
  }
  return 0;
}

bool MapiOptionsPage::IsChange(WORD controlId, WORD notificationCode) {
  switch (controlId) {
    case IDC_LOGON_PROFILE:
    case IDC_DELIVER_TRANSPORT:
      return notificationCode == CBN_SELCHANGE || notificationCode == CBN_EDITCHANGE;
    case IDC_DELIVER_TO:
      return notificationCode == EN_CHANGE;
    default:
      return false;
  }
}

bool MapiOptionsPage::Apply(HWND window) {
  ComboText(GetDlgItem(window, IDC_LOGON_PROFILE), &m_profile);
  GetDlgItemTextInto(window, IDC_DELIVER_TO, &m_deliverTo);
  ComboText(GetDlgItem(window, IDC_DELIVER_TRANSPORT), &m_transport);
  return CPROPERTYPAGE::Apply(window);
}

namespace mvn::delivery::mapi {

MapiOptionsPage* OptionsPage() { return g_mapiOptionsPage.Get(); }

const MAPILIBRARY& Library() { return g_library; }

bool LoadMapiLibrary(CTEXT* why) {
  if (g_library.module) return true;
  // The library beside this module first, then by name.
  std::string beside;
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&LoadMapiLibrary), &info) && info.dli_fname) {
    beside = info.dli_fname;
    size_t slash = beside.rfind('/');
    beside = slash == std::string::npos ? std::string() : beside.substr(0, slash + 1) + "mapi32.so";
  }
  struct stat st;
  HMODULE module = nullptr;
  if (!beside.empty() && stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode)) module = LoadLibraryA(beside.c_str());
  if (!module) module = LoadLibraryA(kMapiLibraryName);
  if (!module) {
    why->Assign("the messaging library mapi32 cannot be loaded");
    return false;
  }
  MAPILIBRARY bound;
  bound.module = module;
  bound.initialize = reinterpret_cast<MAPIINITIALIZE>(GetProcAddress(module, "MAPIInitialize"));
  bound.logonEx = reinterpret_cast<MAPILOGONEX>(GetProcAddress(module, "MAPILogonEx"));
  bound.allocateBuffer = reinterpret_cast<MAPIALLOCATEBUFFER>(GetProcAddress(module, "MAPIAllocateBuffer"));
  bound.freeBuffer = reinterpret_cast<MAPIFREEBUFFER>(GetProcAddress(module, "MAPIFreeBuffer"));
  bound.adminProfiles = reinterpret_cast<MAPIADMINPROFILES>(GetProcAddress(module, "MAPIAdminProfiles"));
  bound.queryAllRows = reinterpret_cast<HRQUERYALLROWS>(GetProcAddress(module, "HrQueryAllRows"));
  bound.freeProws = reinterpret_cast<FREEPROWS>(GetProcAddress(module, "FreeProws"));
  bound.uninitialize = reinterpret_cast<MAPIUNINITIALIZE>(GetProcAddress(module, "MAPIUninitialize"));
  if (!bound.initialize || !bound.logonEx || !bound.allocateBuffer || !bound.freeBuffer || !bound.adminProfiles ||
      !bound.queryAllRows || !bound.freeProws || !bound.uninitialize) {
    FreeLibrary(module);
    why->Assign("the messaging library mapi32 lacks an entry point");
    return false;
  }
  g_library = bound;
  return true;
}

void UnloadMapiLibrary() {
  if (g_library.module) FreeLibrary(g_library.module);
  g_library = MAPILIBRARY();
}

const char* MapiErrorName(HRESULT result) {
  for (const ErrorName& row : kErrorNames)
    if (row.code == result) return row.name;
  return "Unknown";
}

bool CheckResult(MAPIRECORD* record, const char*, HRESULT result) {
  if (result >= 0) return true;
  record->m_lastResult.Assign(MapiErrorName(result));
  record->m_lastFailure = result;
  return false;
}

bool OpenDefaultStore(MAPIRECORD* record) {
  IMAPITable* table = nullptr;
  if (!CheckResult(record, "GetMsgStoresTable", record->m_session->GetMsgStoresTable(0, &table))) return false;
  SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_DISPLAY_NAME, PR_ENTRYID}};
  SPropValue isDefault{};
  isDefault.ulPropTag = PR_DEFAULT_STORE;
  isDefault.Value.b = 1;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = {RELOP_EQ, PR_DEFAULT_STORE, &isDefault};
  SRowSet* rows = nullptr;
  bool ok = CheckResult(record, "HrQueryAllRows",
                        g_library.queryAllRows(table, columns.Get(), &restriction, nullptr, 0, &rows));
  if (ok) {
    // The first row that really is the default store and has an entry id.
    const SPropValue* entry = nullptr;
    for (ULONG i = 0; rows && i < rows->cRows && !entry; ++i) {
      const SRow& row = rows->aRow[i];
      const SPropValue* flag = PropOf(row.lpProps, row.cValues, PR_DEFAULT_STORE);
      if (flag && flag->Value.b) entry = PropOf(row.lpProps, row.cValues, PR_ENTRYID);
    }
    if (!entry || entry->Value.bin.cb == 0) {
      ok = Fail(record, "no default message store");
    } else {
      ok = CheckResult(record, "OpenMsgStore",
                       record->m_session->OpenMsgStore(0, entry->Value.bin.cb, entry->Value.bin.lpb, nullptr,
                                                       MDB_NO_DIALOG | MDB_WRITE, &record->m_store));
    }
  }
  if (rows) g_library.freeProws(rows);
  table->Release();
  return ok;
}

bool OpenOutbox(MAPIRECORD* record) {
  SizedSPropTagArray<1> tags = {1, {PR_IPM_OUTBOX_ENTRYID}};
  ULONG count = 0;
  SPropValue* props = nullptr;
  if (!CheckResult(record, "GetOutboxFolder-GetProps", record->m_store->GetProps(tags.Get(), 0, &count, &props)))
    return false;
  // A missing entry id comes back error-typed: it is never passed on.
  const SPropValue* entry = PropOf(props, count, PR_IPM_OUTBOX_ENTRYID);
  bool ok;
  if (!entry || entry->Value.bin.cb == 0) {
    ok = Fail(record, "the default message store has no Outbox");
  } else {
    ULONG type = 0;
    IUnknown* object = nullptr;
    ok = CheckResult(record, "GetOutboxFolder-OpenEntry",
                     record->m_store->OpenEntry(entry->Value.bin.cb, entry->Value.bin.lpb, nullptr, MAPI_MODIFY,
                                                &type, &object));
    if (ok && type != MAPI_FOLDER) {
      object->Release();
      ok = Fail(record, "the Outbox entry is not a folder");
    } else if (ok) {
      record->m_outbox = static_cast<IMAPIFolder*>(object);
    }
  }
  g_library.freeBuffer(props);
  return ok;
}

bool SetRecipient(MAPIRECORD* record, IMessage* message, const char* name) {
  IAddrBook* book = nullptr;
  if (!CheckResult(record, "SetMessageRecipient-OpenAddressBook",
                   record->m_session->OpenAddressBook(0, nullptr, 0, &book)))
    return false;
  SPropValue* props = nullptr;
  bool ok = CheckResult(record, "SetMessageRecipient-MAPIAllocateBuffer",
                        g_library.allocateBuffer(2 * sizeof(SPropValue), reinterpret_cast<void**>(&props)));
  ADRLIST list{};
  if (ok) {
    props[0].ulPropTag = PR_DISPLAY_NAME;
    props[0].Value.lpszA = const_cast<char*>(name);
    props[1].ulPropTag = PR_RECIPIENT_TYPE;
    props[1].Value.l = MAPI_TO;
    list.cEntries = 1;
    list.aEntries[0].cValues = 2;
    list.aEntries[0].rgPropVals = props;
    ok = CheckResult(record, "SetMessageRecipient-ResolveName", book->ResolveName(0, 0, nullptr, &list)) &&
         CheckResult(record, "SetMessageRecipient-ModifyRecipients", message->ModifyRecipients(MODRECIP_ADD, &list));
    // Resolution may have replaced the array: what the entry holds now is
    // freed, once.
    g_library.freeBuffer(list.aEntries[0].rgPropVals);
  }
  book->Release();
  return ok;
}

bool SetAttachment(MAPIRECORD* record, IMessage* message, const char* jobFile) {
  IAttach* attach = nullptr;
  ULONG number = 0;
  if (!CheckResult(record, "SetMessageAttachment: CreateAttach", message->CreateAttach(nullptr, 0, &number, &attach)))
    return false;
  IUnknown* object = nullptr;
  bool ok = CheckResult(record, "SetMessageAttachment: OpenProperty",
                        attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &object));
  if (ok) {
    IStream* stream = static_cast<IStream*>(object);
    CFILE job(jobFile);
    if (!job.Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                  nullptr)) {
      ok = SetFailure(&record->m_lastResult, "cannot open the job file", jobFile, GetLastError());
    } else {
      // Every block is written and checked; a failed read is no end of file.
      char block[kJobBlock];
      for (;;) {
        DWORD read = 0;
        if (!job.Read(block, kJobBlock, &read)) {
          ok = SetFailure(&record->m_lastResult, "cannot read the job file", jobFile, GetLastError());
          break;
        }
        if (read == 0) break;
        ULONG written = 0;
        if (!CheckResult(record, "SetMessageAttachment: stream->Write", stream->Write(block, read, &written))) {
          ok = false;
          break;
        }
        if (written != read) {
          ok = Fail(record, "the job file was not written whole into the attachment");
          break;
        }
        if (read < kJobBlock) break;
      }
      job.Close();
    }
    stream->Release();
  }
  if (ok) {
    SPropValue props[2]{};
    props[0].ulPropTag = PR_ATTACH_METHOD;
    props[0].Value.l = ATTACH_BY_VALUE;
    props[1].ulPropTag = PR_ATTACH_FILENAME;
    props[1].Value.lpszA = const_cast<char*>("ATTACH.MVN");
    ok = CheckResult(record, "SetMessageAttachment: SetProps", attach->SetProps(2, props, nullptr)) &&
         CheckResult(record, "SetMessageAttachment: SaveChanges", attach->SaveChanges(FORCE_SAVE));
  }
  attach->Release();
  return ok;
}

bool FlushTransport(MAPIRECORD* record) {
  if (record->m_transport.IsEmpty()) return true;
  IMAPITable* table = nullptr;
  if (!CheckResult(record, "FlushTransport: GetStatusTable", record->m_session->GetStatusTable(0, &table)))
    return false;
  SRowSet* rows = nullptr;
  bool ok = CheckResult(record, "FlushTransport: HrQueryAllRows", QueryTransportRows(table, &rows));
  for (ULONG i = 0; ok && rows && i < rows->cRows; ++i) {
    const SRow& row = rows->aRow[i];
    const SPropValue* methods = PropOf(row.lpProps, row.cValues, PR_RESOURCE_METHODS);
    const SPropValue* display = PropOf(row.lpProps, row.cValues, PR_PROVIDER_DISPLAY);
    const SPropValue* entry = PropOf(row.lpProps, row.cValues, PR_ENTRYID);
    if (!methods || !display || !entry || !(methods->Value.l & STATUS_FLUSH_QUEUES)) continue;
    if (!EqualsNoCase(display->Value.lpszA, record->m_transport.Text())) continue;
    ULONG type = 0;
    IUnknown* object = nullptr;
    ok = CheckResult(record, "FlushTransport: OpenEntry",
                     record->m_session->OpenEntry(entry->Value.bin.cb, entry->Value.bin.lpb, nullptr, 0, &type,
                                                  &object));
    if (ok) {
      if (type == MAPI_STATUS) static_cast<IMAPIStatus*>(object)->FlushQueues(0, 0, nullptr, FLUSH_UPLOAD | FLUSH_FORCE);
      object->Release();
    }
    break;
  }
  if (rows) g_library.freeProws(rows);
  table->Release();
  return ok;
}

void CloseSession(MAPIRECORD* record) {
  if (record->m_outbox) record->m_outbox->Release();
  if (record->m_store) record->m_store->Release();
  if (record->m_session) {
    record->m_session->Logoff(0, 0, 0);
    record->m_session->Release();
  }
  record->m_outbox = nullptr;
  record->m_store = nullptr;
  record->m_session = nullptr;
  if (record->m_initialized) g_library.uninitialize();
  record->m_initialized = false;
  record->m_sessionOpen = false;
}

void ListProfiles(HWND combo) {
  CTEXTBUF64 kept;
  ComboText(combo, &kept);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  CTEXTBUF64 why;
  LRESULT defaultIndex = CB_ERR;
  if (LoadMapiLibrary(&why) && g_library.initialize(nullptr) >= 0) {
    IProfAdmin* admin = nullptr;
    if (g_library.adminProfiles(0, &admin) >= 0) {
      IMAPITable* table = nullptr;
      if (admin->GetProfileTable(0, &table) >= 0) {
        SRowSet* rows = nullptr;
        if (g_library.queryAllRows(table, nullptr, nullptr, nullptr, 0, &rows) >= 0) {
          for (ULONG i = 0; i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            const SPropValue* name = PropOf(row.lpProps, row.cValues, PR_DISPLAY_NAME);
            if (!name) continue;
            LRESULT index = ComboAdd(combo, name->Value.lpszA);
            const SPropValue* isDefault = PropOf(row.lpProps, row.cValues, PR_DEFAULT_PROFILE);
            if (isDefault && isDefault->Value.b) defaultIndex = index;
          }
          g_library.freeProws(rows);
        }
        table->Release();
      }
      admin->Release();
    }
    g_library.uninitialize();
  }
  ComboSelectText(combo, kept, defaultIndex);
}

bool AddWorkOffline(HWND combo, CTEXT* transport) {
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  char text[64];
  if (LoadModuleString(IDS_WORK_OFFLINE, text, sizeof text) == 0) return false;
  ComboAdd(combo, text);
  transport->Assign(text);
  return true;
}

void ListTransports(HWND combo, const char* profile, const char* password) {
  CTEXTBUF64 kept;
  ComboText(combo, &kept);
  CTEXTBUF64 offline;
  AddWorkOffline(combo, &offline);
  CTEXTBUF64 why;
  if (LoadMapiLibrary(&why) && g_library.initialize(nullptr) >= 0) {
    IMAPISession* session = nullptr;
    if (g_library.logonEx(0, profile, password, kLogonFlags, &session) >= 0) {
      IMAPITable* table = nullptr;
      if (session->GetStatusTable(0, &table) >= 0) {
        SRowSet* rows = nullptr;
        if (QueryTransportRows(table, &rows) >= 0) {
          for (ULONG i = 0; i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            const SPropValue* methods = PropOf(row.lpProps, row.cValues, PR_RESOURCE_METHODS);
            const SPropValue* display = PropOf(row.lpProps, row.cValues, PR_PROVIDER_DISPLAY);
            if (!methods || !display || !(methods->Value.l & STATUS_FLUSH_QUEUES)) continue;
            if (!ComboHoldsExactly(combo, display->Value.lpszA)) ComboAdd(combo, display->Value.lpszA);
          }
          g_library.freeProws(rows);
        }
        table->Release();
      }
      session->Logoff(0, 0, 0);
      session->Release();
    }
    g_library.uninitialize();
  }
  ComboSelectText(combo, kept, 0);
}

bool SelectAddress(HWND, const char* profile, const char* password, CTEXT* name) {
  CTEXTBUF64 why;
  if (!LoadMapiLibrary(&why) || g_library.initialize(nullptr) < 0) return false;
  bool chosen = false;
  IMAPISession* session = nullptr;
  if (g_library.logonEx(0, profile, password, kLogonFlags, &session) >= 0) {
    IAddrBook* book = nullptr;
    if (session->OpenAddressBook(0, nullptr, 0, &book) >= 0) {
      ADRPARM parameters{};
      parameters.ulFlags = DIALOG_MODAL | ADDRESS_ONE;
      parameters.lpszCaption = "Select Address";
      parameters.cDestFields = 0;
      ULONG_PTR window = 0;
      ADRLIST* list = nullptr;
      if (book->Address(&window, &parameters, &list) >= 0 && list) {
        for (ULONG i = 0; i < list->cEntries && !chosen; ++i) {
          const SPropValue* display =
              PropOf(list->aEntries[i].rgPropVals, list->aEntries[i].cValues, PR_DISPLAY_NAME);
          if (display && display->Value.lpszA) {
            name->Assign(display->Value.lpszA);
            chosen = true;
          }
        }
        for (ULONG i = 0; i < list->cEntries; ++i) g_library.freeBuffer(list->aEntries[i].rgPropVals);
        g_library.freeBuffer(list);
      }
      book->Release();
    }
    session->Logoff(0, 0, 0);
    session->Release();
  }
  g_library.uninitialize();
  return chosen;
}

MAPIRECORD* Initialize(CCONFIG* config) {
  MAPIRECORD* record = mvn::delivery::NewRecord<MAPIRECORD>();
  if (config) {
    mvn::delivery::ReadHeadSettings(config, record);
    config->GetString("MAPILogonProfile", &record->m_profile);
    config->GetString("MAPILogonPassword", &record->m_password);
    config->GetString("MAPIDeliverTo", &record->m_deliverTo);
    config->GetString("MAPITransport", &record->m_transport);
    mvn::delivery::ReadSenderDefaults(config, &record->m_senderDefaults);
  } else {
    mvn::delivery::SetDefaultDialogTitle(record);
  }
  return record;
}

bool Configure(MAPIRECORD* record, CCONFIG* config) {
  if (!record || !config) return false;
  mvn::delivery::LoadIdentityPage(record);
  MapiOptionsPage* page = OptionsPage();
  page->m_profile.Assign(record->m_profile.Text());
  page->m_password.Assign(record->m_password.Text());
  page->m_deliverTo.Assign(record->m_deliverTo.Text());
  page->m_transport.Assign(record->m_transport.Text());
  if (!mvn::delivery::ShowSheet(record, page, MapiOptionsTemplate(), IDD_MAPI_IDENTITY)) return false;
  mvn::delivery::WriteIdentitySettings(config);
  config->PutString("MAPILogonProfile", page->m_profile.Text());
  // The password has no control: it is written back as it was.
  config->PutString("MAPILogonPassword", page->m_password.Text());
  config->PutString("MAPIDeliverTo", page->m_deliverTo.Text());
  config->PutString("MAPITransport", page->m_transport.Text());
  return true;
}

bool SendFile(MAPIRECORD* record, const char* jobFile) {
  if (!record || !jobFile) return false;
  CTEXTBUF64 why;
  if (!LoadMapiLibrary(&why)) return Fail(record, why.Text());

  if (!record->m_sessionOpen) {
    if (!CheckResult(record, "MAPIInitialize", g_library.initialize(nullptr))) return false;
    record->m_initialized = true;
    bool ok = CheckResult(record, "MAPILogonEx",
                          g_library.logonEx(0, record->m_profile.Text(), record->m_password.Text(), kLogonFlags,
                                            &record->m_session)) &&
              OpenDefaultStore(record) && OpenOutbox(record);
    if (!ok) {
      // What the earlier steps opened is released; the next send starts again.
      CloseSession(record);
      return false;
    }
    record->m_sessionOpen = true;
  }

  IMessage* message = nullptr;
  record->m_lastFailure = S_OK;
  bool ok = CheckResult(record, "CreateMessage", record->m_outbox->CreateMessage(nullptr, 0, &message)) &&
            SetRecipient(record, message, record->m_deliverTo.Text()) && SetAttachment(record, message, jobFile);
  if (ok) {
    CTEXTBUF<256> subject;
    subject.Assign("MVN::SEND,SENDER-DEFAULTS=");
    subject.Append(record->m_senderDefaults ? "yes" : "no");
    SPropValue props[3]{};
    props[0].ulPropTag = PR_SUBJECT;
    props[0].Value.lpszA = const_cast<char*>(subject.Text());
    props[1].ulPropTag = PR_MESSAGE_CLASS;
    props[1].Value.lpszA = const_cast<char*>("IPM.Note");
    props[2].ulPropTag = PR_DELETE_AFTER_SUBMIT;
    props[2].Value.b = 1;
    ok = CheckResult(record, "SetProps", message->SetProps(3, props, nullptr)) &&
         CheckResult(record, "SubmitMessage", message->SubmitMessage(0));
  }
  if (ok) FlushTransport(record);
  if (message) message->Release();
  if (!ok && EndsSession(record->m_lastFailure)) CloseSession(record);
  return ok;
}

int Terminate(MAPIRECORD* record) {
  if (!record) return 0;
  if (record->m_sessionOpen) CloseSession(record);
  mvn::delivery::DeleteRecord(record);
  return 0;
}

const char* GetLastResult(MAPIRECORD* record) { return record ? record->m_lastResult.Text() : nullptr; }

}  // namespace mvn::delivery::mapi

// The messaging interface the MAPI delivery module uses: our own
// declarations of the calls, interfaces, properties, flags and result codes
// it needs, implemented by the messaging substitute "mapi32.so" (see
// docs/platform-mapi.md). The module loads that library by name at run time
// and binds the eight entry points listed under MapiEntryPoints.
//
// Results are 32-bit HRESULT values (negative: failure, positive: warning);
// counts and flags are 32-bit ULONG, never long.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mvn::mapi {

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using FLAGS = uint32_t;
using ULONG_PTR = uintptr_t;
using BYTE = uint8_t;

struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
using IID = GUID;

inline constexpr IID IID_IStream = {0x0000000C, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Result codes by their documented values.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT SUCCESS_SUCCESS = 0;
inline constexpr HRESULT MakeError(uint32_t code) { return static_cast<HRESULT>(0x80040000u | code); }
inline constexpr HRESULT MakeWarning(uint32_t code) { return static_cast<HRESULT>(0x00040000u | code); }

inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

inline constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
inline constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
inline constexpr HRESULT MAPI_E_NO_ACCESS = E_ACCESSDENIED;
inline constexpr HRESULT MAPI_E_NO_SUPPORT = MakeError(0x102);
inline constexpr HRESULT MAPI_E_BAD_CHARWIDTH = MakeError(0x103);
inline constexpr HRESULT MAPI_E_STRING_TOO_LONG = MakeError(0x105);
inline constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = MakeError(0x106);
inline constexpr HRESULT MAPI_E_INVALID_ENTRYID = MakeError(0x107);
inline constexpr HRESULT MAPI_E_INVALID_OBJECT = MakeError(0x108);
inline constexpr HRESULT MAPI_E_OBJECT_CHANGED = MakeError(0x109);
inline constexpr HRESULT MAPI_E_OBJECT_DELETED = MakeError(0x10A);
inline constexpr HRESULT MAPI_E_BUSY = MakeError(0x10B);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = MakeError(0x10D);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_RESOURCES = MakeError(0x10E);
inline constexpr HRESULT MAPI_E_NOT_FOUND = MakeError(0x10F);
inline constexpr HRESULT MAPI_E_VERSION = MakeError(0x110);
inline constexpr HRESULT MAPI_E_LOGON_FAILED = MakeError(0x111);
inline constexpr HRESULT MAPI_E_SESSION_LIMIT = MakeError(0x112);
inline constexpr HRESULT MAPI_E_USER_CANCEL = MakeError(0x113);
inline constexpr HRESULT MAPI_E_UNABLE_TO_ABORT = MakeError(0x114);
inline constexpr HRESULT MAPI_E_NETWORK_ERROR = MakeError(0x115);
inline constexpr HRESULT MAPI_E_DISK_ERROR = MakeError(0x116);
inline constexpr HRESULT MAPI_E_TOO_COMPLEX = MakeError(0x117);
inline constexpr HRESULT MAPI_E_BAD_COLUMN = MakeError(0x118);
inline constexpr HRESULT MAPI_E_EXTENDED_ERROR = MakeError(0x119);
inline constexpr HRESULT MAPI_E_COMPUTED = MakeError(0x11A);
inline constexpr HRESULT MAPI_E_END_OF_SESSION = MakeError(0x200);
inline constexpr HRESULT MAPI_E_UNKNOWN_ENTRYID = MakeError(0x201);
inline constexpr HRESULT MAPI_E_MISSING_REQUIRED_COLUMN = MakeError(0x202);
inline constexpr HRESULT MAPI_W_NO_SERVICE = MakeWarning(0x203);
inline constexpr HRESULT MAPI_E_BAD_VALUE = MakeError(0x301);
inline constexpr HRESULT MAPI_E_INVALID_TYPE = MakeError(0x302);
inline constexpr HRESULT MAPI_E_TYPE_NO_SUPPORT = MakeError(0x303);
inline constexpr HRESULT MAPI_E_UNEXPECTED_TYPE = MakeError(0x304);
inline constexpr HRESULT MAPI_E_TOO_BIG = MakeError(0x305);
inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = MakeWarning(0x380);
inline constexpr HRESULT MAPI_E_UNABLE_TO_COMPLETE = MakeError(0x400);
inline constexpr HRESULT MAPI_E_TABLE_EMPTY = MakeError(0x402);
inline constexpr HRESULT MAPI_E_TABLE_TOO_BIG = MakeError(0x403);
inline constexpr HRESULT MAPI_E_INVALID_BOOKMARK = MakeError(0x405);
inline constexpr HRESULT MAPI_W_POSITION_CHANGED = MakeWarning(0x481);
inline constexpr HRESULT MAPI_W_APPROX_COUNT = MakeWarning(0x482);
inline constexpr HRESULT MAPI_E_WAIT = MakeError(0x500);
inline constexpr HRESULT MAPI_E_CANCEL = MakeError(0x501);
inline constexpr HRESULT MAPI_E_NOT_ME = MakeError(0x502);
inline constexpr HRESULT MAPI_W_CANCEL_MESSAGE = MakeWarning(0x580);
inline constexpr HRESULT MAPI_E_CORRUPT_STORE = MakeError(0x600);
inline constexpr HRESULT MAPI_E_NOT_IN_QUEUE = MakeError(0x601);
inline constexpr HRESULT MAPI_E_NO_SUPPRESS = MakeError(0x602);
inline constexpr HRESULT MAPI_E_COLLISION = MakeError(0x604);
inline constexpr HRESULT MAPI_E_NOT_INITIALIZED = MakeError(0x605);
inline constexpr HRESULT MAPI_E_NON_STANDARD = MakeError(0x606);
inline constexpr HRESULT MAPI_E_NO_RECIPIENTS = MakeError(0x607);
inline constexpr HRESULT MAPI_E_SUBMITTED = MakeError(0x608);
inline constexpr HRESULT MAPI_E_HAS_FOLDERS = MakeError(0x609);
inline constexpr HRESULT MAPI_E_HAS_MESSAGES = MakeError(0x60A);
inline constexpr HRESULT MAPI_E_FOLDER_CYCLE = MakeError(0x60B);
inline constexpr HRESULT MAPI_W_PARTIAL_COMPLETION = MakeWarning(0x680);
inline constexpr HRESULT MAPI_E_AMBIGUOUS_RECIP = MakeError(0x700);

inline constexpr bool Failed(HRESULT result) { return result < 0; }

// Property types and tags: tag = (id << 16) | type.
inline constexpr ULONG PT_I2 = 0x0002;
inline constexpr ULONG PT_LONG = 0x0003;
inline constexpr ULONG PT_ERROR = 0x000A;
inline constexpr ULONG PT_BOOLEAN = 0x000B;
inline constexpr ULONG PT_OBJECT = 0x000D;
inline constexpr ULONG PT_STRING8 = 0x001E;
inline constexpr ULONG PT_BINARY = 0x0102;
inline constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }
inline constexpr ULONG PROP_TYPE(ULONG tag) { return tag & 0xFFFF; }
inline constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
inline constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) { return (tag & 0xFFFF0000u) | type; }

inline constexpr ULONG PR_MESSAGE_CLASS = PROP_TAG(PT_STRING8, 0x001A);
inline constexpr ULONG PR_SUBJECT = PROP_TAG(PT_STRING8, 0x0037);
inline constexpr ULONG PR_RECIPIENT_TYPE = PROP_TAG(PT_LONG, 0x0C15);
inline constexpr ULONG PR_DELETE_AFTER_SUBMIT = PROP_TAG(PT_BOOLEAN, 0x0E01);
inline constexpr ULONG PR_ENTRYID = PROP_TAG(PT_BINARY, 0x0FFF);
inline constexpr ULONG PR_OBJECT_TYPE = PROP_TAG(PT_LONG, 0x0FFE);
inline constexpr ULONG PR_ADDRTYPE = PROP_TAG(PT_STRING8, 0x3002);
inline constexpr ULONG PR_DISPLAY_NAME = PROP_TAG(PT_STRING8, 0x3001);
inline constexpr ULONG PR_EMAIL_ADDRESS = PROP_TAG(PT_STRING8, 0x3003);
inline constexpr ULONG PR_PROVIDER_DISPLAY = PROP_TAG(PT_STRING8, 0x3006);
inline constexpr ULONG PR_DEFAULT_STORE = PROP_TAG(PT_BOOLEAN, 0x3400);
inline constexpr ULONG PR_IPM_OUTBOX_ENTRYID = PROP_TAG(PT_BINARY, 0x35E2);
inline constexpr ULONG PR_ATTACH_DATA_BIN = PROP_TAG(PT_BINARY, 0x3701);
inline constexpr ULONG PR_ATTACH_FILENAME = PROP_TAG(PT_STRING8, 0x3704);
inline constexpr ULONG PR_ATTACH_METHOD = PROP_TAG(PT_LONG, 0x3705);
inline constexpr ULONG PR_DEFAULT_PROFILE = PROP_TAG(PT_BOOLEAN, 0x3D04);
inline constexpr ULONG PR_RESOURCE_METHODS = PROP_TAG(PT_LONG, 0x3E02);
inline constexpr ULONG PR_RESOURCE_TYPE = PROP_TAG(PT_LONG, 0x3E03);

// Flags.
inline constexpr FLAGS MAPI_LOGON_UI = 0x00000001;
inline constexpr FLAGS MAPI_NEW_SESSION = 0x00000002;
inline constexpr FLAGS MAPI_EXPLICIT_PROFILE = 0x00000010;
inline constexpr FLAGS MAPI_MODIFY = 0x00000001;
inline constexpr FLAGS MAPI_CREATE = 0x00000002;
inline constexpr FLAGS MDB_NO_DIALOG = 0x00000001;
inline constexpr FLAGS MDB_WRITE = 0x00000004;
inline constexpr FLAGS MODRECIP_ADD = 0x00000002;
inline constexpr FLAGS FORCE_SAVE = 0x00000004;
inline constexpr FLAGS FLUSH_UPLOAD = 0x00000002;
inline constexpr FLAGS FLUSH_FORCE = 0x00000008;
inline constexpr FLAGS DIALOG_MODAL = 0x00000001;
inline constexpr FLAGS ADDRESS_ONE = 0x00000008;
inline constexpr ULONG MAPI_TO = 1;
inline constexpr ULONG ATTACH_BY_VALUE = 1;
inline constexpr ULONG STATUS_FLUSH_QUEUES = 0x00000008;
inline constexpr ULONG MAPI_STORE_PROVIDER = 33;
inline constexpr ULONG MAPI_TRANSPORT_PROVIDER = 36;
inline constexpr ULONG MAPI_SPOOLER = 37;

// Object types.
inline constexpr ULONG MAPI_STORE = 1;
inline constexpr ULONG MAPI_ADDRBOOK = 2;
inline constexpr ULONG MAPI_FOLDER = 3;
inline constexpr ULONG MAPI_MESSAGE = 5;
inline constexpr ULONG MAPI_ATTACH = 7;
inline constexpr ULONG MAPI_STATUS = 0x0A;
inline constexpr ULONG MAPI_SESSION = 0x0B;

// Restrictions: only property comparisons for equality.
inline constexpr ULONG RES_PROPERTY = 4;
inline constexpr ULONG RELOP_EQ = 4;

struct SBinary {
  ULONG cb;
  BYTE* lpb;
};

union PropValueUnion {
  int16_t i;
  LONG l;
  uint16_t b;
  char* lpszA;
  SBinary bin;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  PropValueUnion Value;
};

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};

template <ULONG N>
struct SizedSPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[N];
  SPropTagArray* Get() { return reinterpret_cast<SPropTagArray*>(this); }
};

struct SPropProblemArray;

struct SPropertyRestriction {
  ULONG relop;
  ULONG ulPropTag;
  SPropValue* lpProp;
};

struct SRestriction {
  ULONG rt;
  union {
    SPropertyRestriction resProperty;
  } res;
};

struct SSortOrderSet;

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  SPropValue* lpProps;
};

struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  SPropValue* rgPropVals;
};

struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];
};

// The address dialog's parameters (the fields used here).
struct ADRPARM {
  ULONG ulFlags;
  const char* lpszCaption;
  ULONG cDestFields;
};

// Interfaces. Every object counts references; the last Release frees it.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IMAPITable : public IUnknown {
 public:
  virtual HRESULT SetColumns(const SPropTagArray* columns, FLAGS flags) = 0;
  virtual HRESULT Restrict(const SRestriction* restriction, FLAGS flags) = 0;
  // Rows from the current position; rowCount 0 means none.
  virtual HRESULT QueryRows(LONG rowCount, FLAGS flags, SRowSet** rows) = 0;

 protected:
  ~IMAPITable() = default;
};

class IMAPIProp : public IUnknown {
 public:
  // Missing properties come back with type PT_ERROR and the result
  // MAPI_W_ERRORS_RETURNED.
  virtual HRESULT GetProps(const SPropTagArray* tags, FLAGS flags, ULONG* count, SPropValue** props) = 0;
  virtual HRESULT SetProps(ULONG count, const SPropValue* props, SPropProblemArray** problems) = 0;
  virtual HRESULT SaveChanges(FLAGS flags) = 0;
  virtual HRESULT OpenProperty(ULONG tag, const IID* iid, ULONG interfaceOptions, FLAGS flags,
                               IUnknown** object) = 0;

 protected:
  ~IMAPIProp() = default;
};

class IStream : public IUnknown {
 public:
  virtual HRESULT Write(const void* data, ULONG size, ULONG* written) = 0;

 protected:
  ~IStream() = default;
};

class IAttach : public IMAPIProp {
 protected:
  ~IAttach() = default;
};

class IMessage : public IMAPIProp {
 public:
  virtual HRESULT ModifyRecipients(FLAGS flags, const ADRLIST* list) = 0;
  virtual HRESULT CreateAttach(const IID* iid, FLAGS flags, ULONG* attachmentNumber, IAttach** attach) = 0;
  virtual HRESULT SubmitMessage(FLAGS flags) = 0;

 protected:
  ~IMessage() = default;
};

class IMAPIFolder : public IMAPIProp {
 public:
  virtual HRESULT CreateMessage(const IID* iid, FLAGS flags, IMessage** message) = 0;

 protected:
  ~IMAPIFolder() = default;
};

class IMsgStore : public IMAPIProp {
 public:
  virtual HRESULT OpenEntry(ULONG entrySize, const void* entryId, const IID* iid, FLAGS flags, ULONG* objectType,
                            IUnknown** object) = 0;

 protected:
  ~IMsgStore() = default;
};

class IMAPIStatus : public IMAPIProp {
 public:
  virtual HRESULT FlushQueues(ULONG_PTR uiParam, ULONG targetSize, const void* targetTransport, FLAGS flags) = 0;

 protected:
  ~IMAPIStatus() = default;
};

class IAddrBook : public IMAPIProp {
 public:
  // Resolves each entry's PR_DISPLAY_NAME; a resolved entry's property
  // array is replaced (the old one freed with MAPIFreeBuffer).
  virtual HRESULT ResolveName(ULONG_PTR uiParam, FLAGS flags, const char* title, ADRLIST* list) = 0;
  // The recipient dialog; *list receives a new list (free each entry's
  // array and the list with MAPIFreeBuffer).
  virtual HRESULT Address(ULONG_PTR* uiParam, const ADRPARM* parameters, ADRLIST** list) = 0;

 protected:
  ~IAddrBook() = default;
};

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetMsgStoresTable(FLAGS flags, IMAPITable** table) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR uiParam, ULONG entrySize, const void* entryId, const IID* iid, FLAGS flags,
                               IMsgStore** store) = 0;
  virtual HRESULT OpenAddressBook(ULONG_PTR uiParam, const IID* iid, FLAGS flags, IAddrBook** book) = 0;
  virtual HRESULT GetStatusTable(FLAGS flags, IMAPITable** table) = 0;
  virtual HRESULT OpenEntry(ULONG entrySize, const void* entryId, const IID* iid, FLAGS flags, ULONG* objectType,
                            IUnknown** object) = 0;
  virtual HRESULT Logoff(ULONG_PTR uiParam, FLAGS flags, ULONG reserved) = 0;

 protected:
  ~IMAPISession() = default;
};

class IProfAdmin : public IUnknown {
 public:
  virtual HRESULT GetProfileTable(FLAGS flags, IMAPITable** table) = 0;

 protected:
  ~IProfAdmin() = default;
};

// The entry points of the messaging library, as the module binds them.
extern "C" {
using MAPIINITIALIZE = HRESULT (*)(void* init);
using MAPIUNINITIALIZE = void (*)();
using MAPILOGONEX = HRESULT (*)(ULONG_PTR uiParam, const char* profile, const char* password, FLAGS flags,
                                IMAPISession** session);
using MAPIALLOCATEBUFFER = SCODE (*)(ULONG size, void** buffer);
using MAPIFREEBUFFER = ULONG (*)(void* buffer);
using MAPIADMINPROFILES = HRESULT (*)(FLAGS flags, IProfAdmin** admin);
using HRQUERYALLROWS = HRESULT (*)(IMAPITable* table, const SPropTagArray* columns, const SRestriction* restriction,
                                   const SSortOrderSet* sort, LONG maxRows, SRowSet** rows);
using FREEPROWS = void (*)(SRowSet* rows);
}

// The library's file name as the module names it, and the entry points.
inline constexpr const char* kMapiLibraryName = "mapi32.dll";
inline constexpr const char* kMapiEntryPoints[] = {"MAPIInitialize",     "MAPILogonEx",   "MAPIAllocateBuffer",
                                                   "MAPIFreeBuffer",     "MAPIAdminProfiles", "HrQueryAllRows",
                                                   "FreeProws",          "MAPIUninitialize"};

// Test entry points of the substitute: live objects and buffers of this
// process.
using MVNMAPILIVE = ULONG (*)();

}  // namespace mvn::mapi

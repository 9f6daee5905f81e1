// dlvlocal: delivers a job file as a delivery frame into its output
// location, a directory the fax server watches or an existing file the
// server reads.
//
// The frame: CR LF lines "!MVN::MVN", "SENDER-DEFAULTS=yes|no",
// "SENDER-TYPE=LOCAL", "SENDER-NAME=..." and "SENDER-ADDRESS=..." (each only
// when not empty), the job file's bytes unchanged, "!MVN-END".
#pragma once

#include "delivery/common/module.h"
#include "lib/pathfile.h"

// The local module's record: the common head, then its own part.
struct LOCALRECORD : DELIVERYRECORD {
  CPATH m_outputLocation;  // OutputLocation
  bool m_senderDefaults;   // SenderDefaults
  CTEXT m_lastResult;      // names a setting that holds a line break; else empty

  LOCALRECORD() : m_senderDefaults(false) {}
};

constexpr int IDC_OUTPUT_LOCATION = 1004;

// The "Local Delivery Options" page (template 102).
class LocalOptionsPage : public CPROPERTYPAGE {
 public:
  INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool IsChange(WORD controlId, WORD notificationCode) override;
  bool Apply(HWND window) override;
  // Empty, an existing file, or a directory that exists or can be created
  // (it is created at once); else the focus goes to the field and the page
  // stays.
  bool Validate(HWND window) override;

  CPATH m_location;
};

DialogTemplate LocalOptionsTemplate();

namespace mvn::delivery::local {

// The module's options page (a static object of the module).
LocalOptionsPage* OptionsPage();

// Whether the location names an existing file to overwrite: it begins with
// two backslashes (or, here, two slashes) and names a regular file, itself
// and not through a symbolic link, that opens for reading. The open never
// waits, so a FIFO or device there cannot block it.
bool IsExistingFileTarget(const char* location);

// The five operations behind the exports. SendFile fails, writing
// nothing, when YourName, YourEmailAddress or IdentityToken holds a line
// break; GetLastResult then names the setting ("YourName holds a line
// break"), else it gives nullptr.
LOCALRECORD* Initialize(CCONFIG* config);
bool Configure(LOCALRECORD* record, CCONFIG* config);
bool SendFile(LOCALRECORD* record, const char* jobFile);
int Terminate(LOCALRECORD* record);
const char* GetLastResult(LOCALRECORD* record);

}  // namespace mvn::delivery::local

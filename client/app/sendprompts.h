// The send window's prompts: the value prompt, the name and value prompt,
// the save dialog of its CSV exports and the broadcast question. Each
// prompt is a modal procedure; Escape and the title bar cancel it.
#pragma once

#include <string>
#include <string_view>

#include "client/records/records.h"
#include "framework/core/services.h"

namespace mvn::framework {
class Window;
}

namespace mvn::client {

// The value prompt. mode (clipped, upper case, at most 29 bytes) chooses
// its texts: "V=<text>" starts the entry with <text>; "UPLOADLIST" asks
// for a list; "EXPORT" and "UPDATEEMAIL" name a file. True when the
// confirming button closed it, with *value set (at most kEnterValueBytes).
bool EnterValue2(framework::Window* parent, std::string_view mode, std::string* value);
// The two values of the name and value prompt.
struct NameValue {
  std::string name;   // kDialogNameBytes
  std::string value;  // kDialogValueBytes
};
// The name and value prompt. mode (clipped, no case): "IMAGEFILE" and
// "COVERPAGE" add the entry to g_QimageFiles or g_QcoverPages (replacing
// one of the same name when the user agrees); "ADDRESSBOOK" asks for a
// book's display name and database file and changes nothing itself. True
// when "&OK" closed it and the entry was taken, with *result set.
bool GetNameValuesDialog(framework::Window* parent, Dictionary& dictionary, std::string_view mode,
                         NameValue* result);
// The save dialog of the CSV exports (the value prompt's EXPORT browse and
// the send window's exports): its title and filters.
framework::FileDialogRequest CsvSaveRequest();
// The broadcast question for n recipients: true to go on.
bool ConfirmBroadCast(framework::Window* parent, int recipients);

}  // namespace mvn::client

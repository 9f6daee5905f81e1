// The address-book windows: browse and form, groups, AutoText, cover pages
// and the CSV import options. Each is a procedure that builds its window,
// runs it modally and returns when it closes.
#pragma once

#include <optional>
#include <string>

#include "client/addressbook/exchange.h"
#include "client/records/records.h"
#include "framework/core/ini.h"
#include "framework/core/record.h"

namespace mvn::framework {
class Window;
}

namespace mvn::client {

// The values the send window hands to FindClient and gets back.
struct FindClientStart {
  int tab = 1;  // 1 Attention, 2 Company, 3 Destination
  std::string clientId, company, destination;
  std::string bookName;  // the open book's name, for the title
};

// FindClient: browses the open book's MVClients positioned on the start
// values; Insert/Change/Delete run UpdateMVClient. Returns the record the
// user chose with Select (or a double click); nothing for Cancel. The
// record is also left in dict.File("MVClients")'s buffer. ini: the client
// INI (EditAddressBooks, the window geometry).
std::optional<framework::Record> FindClient(framework::Window* parent, Dictionary& dict, const framework::IniFile& ini,
                const FindClientStart& start);

// UpdateMVClient(mode): the address form over the MVClients buffer (mode 1
// insert, 2 change, 3 delete, 4 view). With [Default] EditAddressBooks
// "NO" it only shows the record ("&Back"). Returns RequestCompleted (1) or
// RequestCancelled (2).
int UpdateMVClient(Dictionary& dict, const framework::IniFile& ini, int mode);

// GroupClientSetup: the groups, their members and the recipients of the
// open book; changes are written at once.
void GroupClientSetup(framework::Window* parent, Dictionary& dict, const framework::IniFile& ini);

// UpdateGroups(mode): the form over the MVdefaults buffer ("&Group Name:");
// a delete cascades to the group's memberships.
int UpdateGroups(Dictionary& dict, int mode);

// AutoTextSetup: the AutoText list of the client INI (g_QautoText).
// editor: the command that opens a text file (the path is added as one
// argument); the window waits until it ends.
void AutoTextSetup(framework::Window* parent, Dictionary& dict, framework::IniFile& ini, const std::string& editor);

// CoverPageSetup: the layout settings of the cover pages of g_QcoverPages.
// editor: the command that opens an RTF file (waited for, as above).
void CoverPageSetup(framework::Window* parent, Dictionary& dict, const framework::IniFile& ini,
                    const std::string& editor);

// ImportTxtToKDF2option: the column mapping for session.fileName. Leaves
// session.start true and session.map compiled when the user pressed
// "&Start import"; "Include first line" is kept in session.
void ImportTxtToKDF2option(framework::Window* parent, Dictionary& dict, ImportSession& session);

// The form's rules, without widgets.
namespace addressform {
// 1 "Use Fax", 2 "Use Email".
int DestinationChoice(const std::string& fax, const std::string& email, const std::string& stored);
// The list entry (1-based) of a stored value, 0 for none.
int AttachmentEntry(const std::string& stored);
int EmailTypeEntry(const std::string& stored);
extern const char* const kAttachmentCodes[4];
extern const char* const kAttachmentTexts[4];
extern const char* const kEmailTypes[4];
// What OK writes.
struct Accepted {
  std::string preferredDestination, emailType, attachmentType;
};
Accepted Accept(int choice, const std::string& fax, const std::string& email, int emailTypeEntry,
                const std::string& storedEmailType, int attachmentEntry, const std::string& storedAttachment);
// [Default] EditAddressBooks is "NO".
bool ViewOnly(const framework::IniFile& ini);
}  // namespace addressform

}  // namespace mvn::client

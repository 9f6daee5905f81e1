// Groups and their members: the related-group and related-member queues of
// the group window, and adding and removing one membership.
#pragma once

#include <string>
#include <string_view>

#include "client/records/records.h"

namespace mvn::client {

// Sort choice of the group window: 1 contact person, 2 company, 3 destination.
enum SortChoice { SortContact = 1, SortCompany = 2, SortDestination = 3 };

// LoadGroupMembers: g_relatedClientsQ becomes the members of group (by
// MVGC:KeyGroupID), each with its record's ClientID, Company and
// PreferredDestination (cut to 50), sorted by the sort choice. A membership
// whose address record is gone is left out.
void LoadGroupMembers(Dictionary& dict, std::string_view group, int sortChoice = SortContact);

// LoadClientGroups: g_relatedGroupsQ becomes the names of the groups the
// record belongs to, each once, sorted by name.
void LoadClientGroups(Dictionary& dict, long recordId);

// "Add to Group": adds the membership unless it exists. Returns "" when
// done (or already there), else "ERROR add:" and the framework's text.
// Both a group and a record are needed ("Please select ..." otherwise).
std::string AddToGroup(Dictionary& dict, std::string_view group, long recordId);
// "Remove from Group": deletes the membership; "" when done or absent.
std::string RemoveFromGroup(Dictionary& dict, std::string_view group, long recordId);

// Group names are kept to what the group queue holds.
constexpr size_t kMaxGroupName = CStringBytes(kGroupIdWidth);
// A group name typed in the group window is at most 49 bytes: what the CSV
// import and export keep of a group name, so a round trip neither renames
// nor merges groups. Longer names stored before are still found whole.
constexpr size_t kGroupNameLimit = 49;

}  // namespace mvn::client

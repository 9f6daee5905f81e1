// dashpost_samplebook CSV BOOK: makes the keyed address book BOOK (".KDF"
// added) from a CSV file with the columns To, Company, Destination, Group
// (first line the header): one record per line, its group membership and
// one group entry per group named. For the sample configuration.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/records/records.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dashpost_samplebook CSV BOOK\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "dashpost_samplebook: cannot read %s\n", argv[1]);
    return 1;
  }
  mvn::client::Dictionary& d = mvn::client::InitDictionary();
  if (!d.SetAddressBookFiles(argv[2], "KEYED") || d.OpenAddressBook() != 0) {
    std::fprintf(stderr, "dashpost_samplebook: cannot open the book %s\n", argv[2]);
    return 1;
  }
  std::string line;
  std::getline(in, line);
  std::set<std::string> groups;
  int id = 0, failures = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string item;
    while (std::getline(ss, item, ',')) f.push_back(item);
    if (f.size() < 3) continue;
    auto& c = d.File("MVClients");
    c.Buffer().Clear();
    c.Buffer().SetLong("PK_MVClientID", ++id);
    c.Buffer().Set("ClientID", f[0]);
    c.Buffer().Set("Company", f[1]);
    c.Buffer().Set("PreferredDestination", f[2]);
    c.Buffer().Set(f[2].find('@') != std::string::npos ? "Email" : "FaxNum", f[2]);
    if (c.TryInsert() != 0) ++failures;
    if (f.size() >= 4 && !f[3].empty()) {
      auto& g = d.File("MVGroupClient");
      g.Buffer().Clear();
      g.Buffer().Set("GroupID", f[3]);
      g.Buffer().SetLong("FK_MVClientID", id);
      if (g.TryInsert() != 0) ++failures;
      groups.insert(f[3]);
    }
  }
  for (const std::string& name : groups) {
    auto& g = d.File("MVdefaults");
    g.Buffer().Clear();
    g.Buffer().Set("GroupID", name);
    if (g.TryInsert() != 0) ++failures;
  }
  d.CloseAll();
  mvn::client::KillDictionary();
  if (failures) std::fprintf(stderr, "dashpost_samplebook: %d records could not be written\n", failures);
  return failures ? 1 : 0;
}

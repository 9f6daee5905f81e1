// dashpost_sampletips TEXT TIPFILE: makes the tip file TIPFILE (a keyed
// data file with the table HelpTips, as the tip window reads it) from the
// text file TEXT. For the sample configuration.
//
// TEXT holds one block per tip: a line "[<procedure> <control> <type>]"
// (the window's procedure, the control's use name, its control type, as a
// tip request names them) and the tip's text on the lines below it, up to
// the next block. Lines before the first block and lines beginning with
// ";" are comments; blank lines at a tip's end are dropped. TIPFILE must
// not exist yet: the tool makes a new file, it never adds to one.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/core/errors.h"
#include "helptips/tipfile.h"

namespace {

struct Tip {
  std::string procedure, control, type, text;
  int line = 0;
};

bool ParseHeader(const std::string& line, Tip* tip) {
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
  std::istringstream words(line.substr(1, line.size() - 2));
  std::string rest;
  if (!(words >> tip->procedure >> tip->control >> tip->type) || (words >> rest)) return false;
  // The fields' widths: a longer name would be cut and never match a request.
  return tip->procedure.size() <= 50 && tip->control.size() <= 50 && tip->type.size() <= 20;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dashpost_sampletips TEXT TIPFILE\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "dashpost_sampletips: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<Tip> tips;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == ';') continue;
    if (!line.empty() && line.front() == '[') {
      Tip tip;
      tip.line = number;
      if (!ParseHeader(line, &tip)) {
        std::fprintf(stderr, "dashpost_sampletips: %s line %d: not \"[<procedure> <control> <type>]\" (names of at most 50, 50 and 20 bytes)\n", argv[1],
                     number);
        return 1;
      }
      tips.push_back(tip);
      continue;
    }
    if (tips.empty()) continue;
    std::string& text = tips.back().text;
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  if (in.bad()) {
    std::fprintf(stderr, "dashpost_sampletips: cannot read %s\n", argv[1]);
    return 1;
  }
  for (Tip& tip : tips) {
    while (tip.text.size() >= 2 && tip.text.compare(tip.text.size() - 2, 2, "\r\n") == 0)
      tip.text.resize(tip.text.size() - 2);
    if (tip.text.empty() || tip.text.size() > 10000) {
      std::fprintf(stderr, "dashpost_sampletips: %s line %d: the tip has no text or more than 10,000 bytes\n", argv[1], tip.line);
      return 1;
    }
  }
  struct stat st;
  if (lstat(argv[2], &st) == 0) {
    std::fprintf(stderr, "dashpost_sampletips: %s exists already; it is left as it is\n", argv[2]);
    return 1;
  }

  std::unique_ptr<mvn::framework::FileManager> file = mvn::helptips::MakeTipFile(argv[2]);
  if (file->TryOpen(mvn::framework::Exclusive) != 0) {
    std::fprintf(stderr, "dashpost_sampletips: cannot make the tip file %s: %s\n", argv[2],
                 mvn::framework::ErrorText().c_str());
    return 1;
  }
  int failures = 0;
  for (const Tip& tip : tips) {
    mvn::framework::Record& r = file->Buffer();
    r.Clear();
    r.Set("ProcedureName", tip.procedure);
    r.Set("ControlName", tip.control);
    r.Set("ControlType", tip.type);
    r.Set("HelpTip", tip.text);
    if (file->TryInsert() != 0) {
      std::fprintf(stderr, "dashpost_sampletips: the tip of line %d could not be written: %s\n", tip.line,
                   mvn::framework::ErrorText().c_str());
      ++failures;
    }
  }
  file->Close();
  return failures ? 1 : 0;
}

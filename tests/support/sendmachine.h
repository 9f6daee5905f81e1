// Test support: runs mvncsend as a real child process on a private machine
// root with its own INI file, working directories and fixture module, and
// reads back what it left behind; the job decoded by the independent
// decoder.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace mvntest {

// The path of a fixture module ("dlvfixture", "dlvfixture_nosendfile", ...).
std::string FixtureModule(const std::string& name);

// Lines of a text file (LF or CR LF), without their ends.
std::vector<std::string> ReadLines(const std::string& path);
// Names of the entries of a directory, sorted; empty when it does not exist.
std::vector<std::string> ListDirectory(const std::string& path);
bool Exists(const std::string& path);

// A machine for one or more mvncsend runs: MVN_ROOT, the INI file
// <root>/windows/mvncsend.INI (found along the search path, as on an
// installed machine), the working directory <root>/work, the fixture
// module's log <root>/module.log and outbox <root>/outbox, message boxes
// logged to <root>/boxes.log, the sender's clock fixed.
class SendMachine {
 public:
  SendMachine();

  // Settings of the section [mvncsend]; Write() puts them into the INI.
  std::map<std::string, std::string> settings;
  // Extra INI text appended after the section (other sections).
  std::string extraIni;
  std::map<std::string, std::string> env;
  // Limits the size of the files the run writes (see RunProgram).
  long fileSizeLimit = -1;

  void Write() const;
  // Writes the INI and runs mvncsend with the words.
  RunResult Run(const std::vector<std::string>& words, bool writeIni = true);

  std::string Path(const std::string& relative) const { return m_root / relative; }
  std::string Root() const { return m_root.str(); }
  std::vector<std::string> ModuleLog() const { return ReadLines(Path("module.log")); }
  std::vector<std::string> Boxes() const { return ReadLines(Path("boxes.log")); }
  // Full paths of the outbox's files, sorted.
  std::vector<std::string> Outbox() const;

 private:
  TempDir m_root;
};

// The job decoded by the independent decoder: its JSON summary (stdout)
// and the directory with the section payloads.
struct DecodedJob {
  int exitCode = -1;
  std::string summary;
  std::string error;
  std::string directory;
  // Payload of section index (as the decoder wrote it).
  std::string Payload(int index, const std::string& name) const;
};
DecodedJob DecodeJob(const std::string& jobFile, const std::string& outDirectory);

}  // namespace mvntest

#include "tests/support/sendmachine.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace mvntest {

std::string FixtureModule(const std::string& name) { return std::string(MVN_FIXTURE_DIR) + "/" + name + ".so"; }

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = ReadFile(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

SendMachine::SendMachine() {
  std::filesystem::create_directories(m_root / "windows");
  std::filesystem::create_directories(m_root / "outbox");
  settings["WorkingPath"] = m_root / "work";
  settings["DeliveryModule"] = FixtureModule("dlvfixture");
  settings["FixtureLog"] = m_root / "module.log";
  settings["FixtureOutbox"] = m_root / "outbox";
  env["MVN_ROOT"] = m_root.str();
  env["MVN_MESSAGEBOX_LOG"] = m_root / "boxes.log";
  // Boxes go to the log even when the tests run on a display.
  env["MVN_DIALOGS"] = "headless";
  env["MVN_SENDER_TIME"] = "988336262";  // 2001-04-27 01:51:02 UTC
}

void SendMachine::Write() const {
  std::string ini = "[mvncsend]\r\n";
  for (const auto& [key, value] : settings) ini += key + "=" + value + "\r\n";
  ini += extraIni;
  WriteFile(m_root / "windows/mvncsend.INI", ini);
}

RunResult SendMachine::Run(const std::vector<std::string>& words, bool writeIni) {
  if (writeIni) Write();
  std::vector<std::string> argv{MVN_MVNCSEND};
  argv.insert(argv.end(), words.begin(), words.end());
  return RunProgram(argv, env, 120, fileSizeLimit);
}

std::vector<std::string> SendMachine::Outbox() const {
  std::vector<std::string> files;
  for (const auto& name : ListDirectory(Path("outbox"))) files.push_back(Path("outbox/" + name));
  return files;
}

DecodedJob DecodeJob(const std::string& jobFile, const std::string& outDirectory) {
  DecodedJob job;
  job.directory = outDirectory;
  RunResult run = RunProgram({MVN_PYTHON, MVN_JOBDECODE, jobFile, outDirectory}, {});
  job.exitCode = run.exitCode;
  job.summary = run.out;
  job.error = run.err;
  return job;
}

std::string DecodedJob::Payload(int index, const std::string& name) const {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%02d-", index);
  return ReadFile(directory + "/" + prefix + name + ".bin");
}

}  // namespace mvntest

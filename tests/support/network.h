// Test support on the system's own calls (kept apart from the
// Winsock-shaped header): a private network namespace for the process, and
// the Python peers of tests/tools as child processes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace mvntest {

// Moves the process into a network namespace of its own with the loopback
// interface up, so that a peer can listen on 127.0.0.1:25. Call before any
// thread starts. False, with the reason, when that is not possible.
bool EnterPrivateNetwork(std::string* reason);
// EnterPrivateNetwork from a test binary's entry, keeping the outcome for
// the tests.
void StartPrivateNetwork();
// The outcome of EnterPrivateNetwork in the test binary's entry.
bool PrivateNetworkReady();
const std::string& PrivateNetworkReason();

// /usr/bin/python3 with a script of tests/tools and its arguments, waited
// for until it prints READY; killed (SIGTERM) and reaped on destruction.
class PeerProcess {
 public:
  PeerProcess(const std::string& script, const std::vector<std::string>& arguments);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  bool ready() const { return m_ready; }
  const std::string& output() const { return m_output; }

 private:
  int m_pid = -1;
  bool m_ready = false;
  std::string m_output;
};

// Runs /usr/bin/python3 with a script of tests/tools; gives its exit code
// and its standard output and error together.
int RunTool(const std::string& script, const std::vector<std::string>& arguments, std::string* output);

std::string ToolPath(const std::string& script);

}  // namespace mvntest

// Program-level operations: running command lines, the command line of this
// program, and the process-wide dictionary hooks.
#pragma once

#include <string>
#include <string_view>

namespace mvn::framework {

// Runs a command line, split by the kernel's CreateProcessA rules (never
// through a shell). With wait the exit code of the program (ERRORCODE 0),
// without it 0 once the program has started. A program that cannot start
// gives -1 and ERRORCODE FileNotFoundError / AccessDeniedError.
int Run(std::string_view commandLine, bool wait);

// The program's command line as the kernel holds it.
std::string CommandLine();
// The program path (the first word).
std::string ProgramPath();
// Everything after the program path, leading blanks removed.
std::string CommandParameters();

}  // namespace mvn::framework

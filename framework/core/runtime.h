// Program-level operations: running command lines, the command line of this
// program, and the process-wide dictionary hooks.
#pragma once

#include <functional>
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

// The short (8.3) form of a path: on this system every path is its own
// short form.
std::string ShortPath(std::string_view path);

// Shut-down work run by Halt, last registered first (the client registers
// the dictionary's shut-down, which closes every file).
void OnHalt(std::function<void()> work);
// Ends the program: runs the shut-down work, then ends the process with
// exitCode.
[[noreturn]] void Halt(int exitCode = 0);

}  // namespace mvn::framework

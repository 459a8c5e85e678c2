// Runs a program to its end in a child process, with its standard output and error
// captured, for the tests that drive our command-line tools.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace platform::testing {

struct ProgramResult {
  int exitCode = -1;  // 128 + signal when the program was killed; -1 when it could not start
  std::string out;
  std::string err;
};

// Runs `program args...` with the caller's environment plus `extraEnv` ("NAME=value"),
// standard input from /dev/null, and its output captured through files in `scratch`.
ProgramResult RunProgram(const std::filesystem::path& scratch, const std::string& program,
                         const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {});

// Polls in real time (other processes do the work) until `done` holds; false when it
// still does not after `timeoutMs`.
bool Eventually(const std::function<bool()>& done, int timeoutMs = 5000);

// The exit code of child process `pid` once it has ended (128 + signal when killed);
// -1 when it did not end within `timeoutMs` (it is then killed and reaped).
int WaitForExit(int pid, int timeoutMs);

}  // namespace platform::testing

// Runs the built `dualcam` command as a child process, the way a user or a
// script would, and captures its exit status, stdout and stderr.
#pragma once

#include <string>
#include <vector>

namespace dualcam::testing {

struct ToolRun {
  int exit_status = -1;  // -1 when the process did not exit normally (signal)
  int signal = 0;
  std::string out;
  std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args);
// Any program, the same way.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace dualcam::testing

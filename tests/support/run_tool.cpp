// fork/exec of the dualcam binary with stdout and stderr sent to temporary
// files (pipes would need a reader per stream to avoid a full-pipe stall).
#include "support/run_tool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/test_data.h"

namespace dualcam::testing {

ToolRun RunTool(const std::vector<std::string>& args) { return RunProgram(ToolPath().string(), args); }

ToolRun RunProgram(const std::string& tool, const std::vector<std::string>& args) {
  TempDir dir("tool");
  const std::string out_path = (dir / "stdout").string();
  const std::string err_path = (dir / "stderr").string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  ToolRun run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  if (pid < 0) return run;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = ReadFileText(out_path);
  run.err = ReadFileText(err_path);
  return run;
}

}  // namespace dualcam::testing

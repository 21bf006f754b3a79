// Entry point of the `dualcam` command: dispatches to one subcommand per
// file through a table, so adding a command is one line here and one file.
// Every failure leaves through ToolError or a standard exception and becomes
// one line on stderr with a defined exit status, never a crash.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "command.h"
#include "pipeline/decoder/decoder.h"

namespace dualcam::tools {
namespace {

constexpr Command kCommands[] = {
    {"capture", "stream pictures from a simulated camera through the driver into files", RunCapture},
    {"ctl", "list, read or change the camera's controls", RunCtl},
    {"snapshot", "ask a running capture for a still and save it", RunSnapshot},
    {"reg", "list, read, write or delete values of the settings key", RunReg},
    {"info", "offered formats, data folder, settings key and driver status", RunInfo},
    {"stop", "end the capture running on the data folder", RunStop},
    {"decode", "render a raw frame, VQJ9 sample or snapshot file into a picture", RunDecode},
    {"encode", "compress a PNG into a raw camera frame (and a VQJ9 sample)", RunEncode},
};

#ifndef DUALCAM_VERSION
#define DUALCAM_VERSION "unknown"
#endif

// The version, and the decoder path pictures are decoded on: the fastest
// this processor runs, unless DUALCAM_DECODER names another.
void PrintVersion() {
  const std::string active = decoder::DecoderPathName(decoder::ActiveDecoderPath());
  const char* wanted = std::getenv("DUALCAM_DECODER");
  std::string why = "the fastest this processor runs";
  if (wanted != nullptr && *wanted != '\0')
    why = active == wanted ? std::string("chosen by DUALCAM_DECODER")
                           : "DUALCAM_DECODER=" + std::string(wanted) + " is not available here; " + why;
  std::printf("dualcam %s\ndecoder: %s (%s)\n", DUALCAM_VERSION, active.c_str(), why.c_str());
}

void PrintHelp(std::FILE* out) {
  std::fprintf(out, "usage: dualcam COMMAND [options] ...\n       dualcam --version\n\ncommands:\n");
  for (const Command& command : kCommands)
    std::fprintf(out, "  %-10.*s %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
                 static_cast<int>(command.summary.size()), command.summary.data());
  std::fprintf(out, "\n'dualcam COMMAND --help' describes a command.\n");
}

}  // namespace
}  // namespace dualcam::tools

int main(int argc, char** argv) {
  using namespace dualcam::tools;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (args[0] == "--version" || args[0] == "-V" || args[0] == "version") {
    PrintVersion();
    return kExitOk;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(stdout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (command.name != args[0]) continue;
    try {
      return command.run(std::span<const std::string_view>(args).subspan(1));
    } catch (const ToolError& error) {
      std::fprintf(stderr, "dualcam %.*s: %s\n", static_cast<int>(command.name.size()), command.name.data(),
                   error.what());
      return error.status();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "dualcam %.*s: %s\n", static_cast<int>(command.name.size()), command.name.data(),
                   error.what());
      return kExitUsage;
    }
  }
  std::fprintf(stderr, "dualcam: unknown command '%.*s' (try 'dualcam --help')\n", static_cast<int>(args[0].size()),
               args[0].data());
  return kExitUsage;
}

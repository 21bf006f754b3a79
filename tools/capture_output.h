// Where `dualcam capture` puts its pictures: a YUV4MPEG2 video (a file, a
// device or pipe such as /dev/null, or standard output) and folders of
// pictures or of the driver's buffers.
//
// Hard part: outputs are a user's files. Everything that can be known
// before the capture is checked before the camera is touched: the same
// output named twice, a video file that exists, a folder that already
// holds pictures (each refused unless overwriting was asked for), so a
// refused command writes nothing. A video file is written under a
// temporary name and renamed only when complete, so the old file stays
// until the new one replaces it and a failed capture leaves nothing under
// the final name. Every failure names the system's reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dualcam::tools {

// A picture in the forms the outputs need.
struct Delivered {
  std::span<const uint8_t> buffer;  // as the driver delivered it
  std::vector<uint8_t> i420;        // for video; empty if the sample could not be rendered
  int width, height;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Write(const Delivered& picture, int number) = 0;
  // Makes the output final; without it nothing stays under the final name.
  virtual void Finish() = 0;
  virtual std::string Describe(int frames) const = 0;
};

enum class OutputKind {
  kStandardOutput,  // "-"
  kVideoFile,       // FILE.y4m, written under FILE.y4m.part and renamed
  kVideoDevice,     // an existing device or pipe (/dev/null): written in place
  kFolder,          // DIR/, an existing folder, or a name without extension
};

struct OutputPlan {
  std::string path;
  OutputKind kind;
};

// Classifies and checks every --output before anything is written. Throws
// ToolError for an output named twice (by whatever path), an unknown kind,
// or, unless `overwrite`, a video file that exists or a folder that holds
// pictures already.
std::vector<OutputPlan> PlanOutputs(const std::vector<std::string>& outputs, bool overwrite);

struct VideoShape {
  int width, height;
  int64_t interval;  // frame interval in 100 ns units
};

// Opens the output: the temporary video file, or the folder (created, and
// with `overwrite` emptied of its old pictures). `raw_extension` names the
// driver's buffers in a folder when `raw`.
std::unique_ptr<Sink> OpenOutput(const OutputPlan& plan, const VideoShape& shape, bool raw,
                                 std::string_view raw_extension, bool overwrite);

}  // namespace dualcam::tools

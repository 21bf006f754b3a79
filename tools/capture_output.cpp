// The outputs of `dualcam capture` (see capture_output.h).
#include "capture_output.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "command.h"
#include "image_io.h"
#include "render_io.h"

namespace dualcam::tools {
namespace {

namespace fs = std::filesystem;

std::string Reason(int error) { return std::strerror(error); }

// The names the capture gives pictures and buffers in a folder.
// "frame-", five or more digits, and one of the kinds' extensions.
bool IsPictureName(const std::string& name) {
  constexpr std::string_view kPrefix = "frame-";
  if (name.rfind(kPrefix, 0) != 0) return false;
  const std::size_t dot = name.find('.', kPrefix.size());
  if (dot == std::string::npos || dot - kPrefix.size() < 5) return false;
  for (std::size_t i = kPrefix.size(); i < dot; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  const std::string_view extension = std::string_view(name).substr(dot + 1);
  return extension == "png" || extension == "bgr" || extension == "yuv" || extension == "vqj9";
}

// The pictures an earlier capture left in `folder` (none when it does not
// exist or cannot be read).
std::vector<fs::path> OldPictures(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec) && IsPictureName(it->path().filename().string())) found.push_back(it->path());
  }
  return found;
}

// What an output is, by the same rules whatever else is named: the same
// file or folder reached by two paths (a trailing slash, "./", a link) is
// one output.
std::string Identity(const std::string& output) {
  if (output == "-") return output;
  std::error_code ec;
  fs::path path = fs::weakly_canonical(fs::absolute(output, ec), ec).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  return path.string();
}

OutputKind Classify(const std::string& output) {
  if (output == "-") return OutputKind::kStandardOutput;
  std::error_code ec;
  const fs::file_status status = fs::status(output, ec);
  if (output.back() == '/' || fs::is_directory(status)) return OutputKind::kFolder;
  if (fs::exists(status) && !fs::is_regular_file(status)) return OutputKind::kVideoDevice;
  const std::string extension = Extension(output);
  if (extension == ".y4m") return OutputKind::kVideoFile;
  if (extension.empty() && !fs::exists(status)) return OutputKind::kFolder;
  UsageError("--output '" + output + "' must be FILE.y4m, - or a folder (DIR/)");
}

// YUV4MPEG2: a stream header, then "FRAME\n" and the three planes per
// picture. The driver's pictures are JPEG (T.81 / JFIF) YCbCr: full range
// with chroma sited between the samples, hence C420jpeg and the full-range
// tag that players honour.
class Y4mSink final : public Sink {
 public:
  Y4mSink(const OutputPlan& plan, const VideoShape& shape) : path_(plan.path), kind_(plan.kind) {
    if (kind_ == OutputKind::kStandardOutput) {
      if (isatty(STDOUT_FILENO)) UsageError("refusing to write video to a terminal (redirect it, or use FILE.y4m)");
      file_ = stdout;
    } else {
      temp_ = kind_ == OutputKind::kVideoFile ? path_ + ".part" : path_;
      file_ = std::fopen(temp_.c_str(), "wb");
      if (file_ == nullptr) UsageError("cannot write " + path_ + ": " + Reason(errno));
    }
    // Frame rate as a reduced fraction of 10^7 / interval.
    long long num = 10'000'000, den = shape.interval > 0 ? shape.interval : 333333;
    const long long rounded = std::llround(static_cast<double>(num) / static_cast<double>(den));
    if (rounded > 0 && std::llabs(rounded * den - num) * 1000 < num) {  // within 0.1 %: a whole rate
      num = rounded;
      den = 1;
    }
    std::fprintf(file_, "YUV4MPEG2 W%d H%d F%lld:%lld Ip A1:1 C420jpeg XCOLORRANGE=FULL\n", shape.width,
                 shape.height, num, den);
    // A device that refuses every byte (/dev/full) says so before the
    // camera is brought up.
    if (std::fflush(file_) != 0) Failed(errno);
  }
  ~Y4mSink() override {
    if (file_ != nullptr && file_ != stdout) {
      std::fclose(file_);
      if (kind_ == OutputKind::kVideoFile) std::remove(temp_.c_str());
    }
  }
  void Write(const Delivered& picture, int) override {
    std::fputs("FRAME\n", file_);
    std::fwrite(picture.i420.data(), 1, picture.i420.size(), file_);
    if (std::ferror(file_)) Failed(errno);
  }
  void Finish() override {
    if (file_ == stdout) {
      if (std::fflush(stdout) != 0) Failed(errno);
      file_ = nullptr;
      return;
    }
    const bool failed = std::fclose(file_) != 0;
    const int error = errno;
    file_ = nullptr;
    if (failed) {
      if (kind_ == OutputKind::kVideoFile) std::remove(temp_.c_str());
      Failed(error);
    }
    if (kind_ == OutputKind::kVideoFile && std::rename(temp_.c_str(), path_.c_str()) != 0) {
      const int rename_error = errno;
      std::remove(temp_.c_str());
      Failed(rename_error);
    }
  }
  std::string Describe(int frames) const override {
    return (kind_ == OutputKind::kStandardOutput ? std::string("standard output") : path_) + " (" +
           std::to_string(frames) + " frames, YUV4MPEG2)";
  }

 private:
  [[noreturn]] void Failed(int error) const {
    if (kind_ == OutputKind::kStandardOutput)
      UsageError("cannot write the video to standard output: " + Reason(error) + "; capture stopped");
    UsageError("cannot write " + path_ + ": " + Reason(error));
  }

  std::string path_, temp_;
  OutputKind kind_;
  std::FILE* file_ = nullptr;
};

class FolderSink final : public Sink {
 public:
  FolderSink(const std::string& path, bool raw, std::string_view raw_extension, bool overwrite)
      : folder_(path), raw_(raw), extension_(raw ? std::string(raw_extension) : ".png") {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) UsageError("cannot create the folder " + path + ": " + ec.message());
    if (!fs::is_directory(folder_, ec)) UsageError("cannot create the folder " + path + ": " + Reason(ENOTDIR));
    // Old pictures go first, so the folder never mixes two captures.
    if (overwrite) {
      for (const fs::path& old : OldPictures(folder_)) {
        if (!fs::remove(old, ec) && ec) UsageError("cannot remove " + old.string() + ": " + ec.message());
      }
    }
  }
  void Write(const Delivered& picture, int number) override {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05d%s", number, extension_.c_str());
    if (raw_) {
      WriteWholeFile(folder_ / name, picture.buffer);
    } else {
      if (picture.i420.empty()) return;  // a sample that does not render has no picture
      WriteWholeFile(folder_ / name, EncodePng(DriverBufferToRgb(picture.i420, picture.width, picture.height, true)));
    }
  }
  void Finish() override {}
  std::string Describe(int frames) const override {
    std::string name = folder_.string();
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name + "/ (" + std::to_string(frames) + (raw_ ? " driver buffers)" : " PNG pictures)");
  }

 private:
  fs::path folder_;
  bool raw_;
  std::string extension_;
};

}  // namespace

std::vector<OutputPlan> PlanOutputs(const std::vector<std::string>& outputs, bool overwrite) {
  std::vector<OutputPlan> plans;
  std::vector<std::string> identities;
  for (const std::string& output : outputs) {
    if (output.empty()) UsageError("--output needs a name");
    const std::string identity = Identity(output);
    for (std::size_t i = 0; i < identities.size(); ++i)
      if (identities[i] == identity)
        UsageError("--output '" + output + "' is the same output as '" + plans[i].path + "'; name each output once");
    plans.push_back({output, Classify(output)});
    identities.push_back(identity);
  }
  if (overwrite) return plans;
  for (const OutputPlan& plan : plans) {
    std::error_code ec;
    if (plan.kind == OutputKind::kVideoFile && fs::exists(plan.path, ec))
      UsageError(plan.path + " exists; -y (--overwrite) replaces it");
    if (plan.kind == OutputKind::kFolder) {
      const auto old = OldPictures(plan.path);
      if (!old.empty())
        UsageError(plan.path + " already holds pictures (" + std::to_string(old.size()) + ", e.g. " +
                   old.front().filename().string() + "); -y (--overwrite) removes them first");
    }
  }
  return plans;
}

std::unique_ptr<Sink> OpenOutput(const OutputPlan& plan, const VideoShape& shape, bool raw,
                                 std::string_view raw_extension, bool overwrite) {
  if (plan.kind == OutputKind::kFolder) return std::make_unique<FolderSink>(plan.path, raw, raw_extension, overwrite);
  return std::make_unique<Y4mSink>(plan, shape);
}

}  // namespace dualcam::tools

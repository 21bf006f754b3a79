// Whole-file I/O and PNG/PPM encoding through libpng's simplified API.
#include "image_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "command.h"

namespace dualcam::tools {

namespace {

std::string Reason() { return std::strerror(errno); }

// Closes a descriptor once; the close's own failure is kept for writers
// (on some file systems a failed write shows only there).
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path, std::size_t max_bytes) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) UsageError("cannot open " + path.string() + ": " + Reason());
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISDIR(info.st_mode))
    UsageError("cannot read " + path.string() + ": " + std::strerror(EISDIR));
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      UsageError("cannot read " + path.string() + ": " + Reason());
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
    if (bytes.size() > max_bytes) UsageError(path.string() + " is larger than " + std::to_string(max_bytes) + " bytes");
  }
  return bytes;
}

void WriteWholeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::filesystem::path temporary = path.string() + ".tmp" + std::to_string(::getpid());
  auto fail = [&](const std::string& what, int error) {
    ::unlink(temporary.c_str());
    UsageError(what + " " + path.string() + ": " + std::strerror(error));
  };
  Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) UsageError("cannot create " + path.string() + ": " + Reason());
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) fail("cannot write", put < 0 ? errno : EIO);
    done += static_cast<std::size_t>(put);
  }
  if (!file.Close()) fail("cannot write", errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot write", errno);
}

encoder::RgbPicture ReadPng(const std::filesystem::path& path) {
  const std::vector<uint8_t> file = ReadWholeFile(path, 256u << 20);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
    UsageError(path.string() + " is not a PNG file");
  if (image.width == 0 || image.height == 0 || image.width > 8192 || image.height > 8192) {
    png_image_free(&image);
    UsageError(path.string() + ": picture size out of range");
  }
  image.format = PNG_FORMAT_RGB;
  encoder::RgbPicture picture;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    UsageError(path.string() + ": damaged PNG file");
  }
  return picture;
}

std::vector<uint8_t> EncodePng(const encoder::RgbPicture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, picture.pixels.data(), 0, nullptr))
    UsageError("cannot encode PNG");
  std::vector<uint8_t> out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, picture.pixels.data(), 0, nullptr))
    UsageError("cannot encode PNG");
  out.resize(size);
  return out;
}

std::vector<uint8_t> EncodePpm(const encoder::RgbPicture& picture) {
  const std::string header =
      "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
  std::vector<uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), picture.pixels.begin(), picture.pixels.end());
  return out;
}

}  // namespace dualcam::tools

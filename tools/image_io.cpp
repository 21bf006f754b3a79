// Whole-file I/O and PNG/PPM encoding through libpng's simplified API.
#include "image_io.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "command.h"

namespace dualcam::tools {

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path, std::size_t max_bytes) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) UsageError("cannot read " + path.string() + ": is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) UsageError("cannot open " + path.string() + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (bytes.size() > max_bytes) UsageError(path.string() + " is larger than " + std::to_string(max_bytes) + " bytes");
  }
  if (in.bad()) UsageError("cannot read " + path.string());
  return bytes;
}

void WriteWholeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::filesystem::path temporary = path.string() + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) UsageError("cannot create " + path.string() + ": " + std::strerror(errno));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      UsageError("cannot write " + path.string());
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    UsageError("cannot write " + path.string() + ": " + ec.message());
  }
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

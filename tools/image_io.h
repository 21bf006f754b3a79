// File I/O for the `dualcam` command: whole-file reads with a size limit,
// atomic writes (a temporary file renamed into place, so a failed command
// leaves no partial output), and PNG/PPM encoding of RGB pictures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "host/sim/encoder/picture.h"

namespace dualcam::tools {

// Throws ToolError(kExitUsage) when the file cannot be read or exceeds
// max_bytes.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path, std::size_t max_bytes);

// Writes bytes to path through a temporary file in the same directory.
// Throws ToolError(kExitUsage) on failure, leaving nothing behind.
void WriteWholeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Throws ToolError(kExitUsage) for an unreadable or non-PNG file.
encoder::RgbPicture ReadPng(const std::filesystem::path& path);

std::vector<uint8_t> EncodePng(const encoder::RgbPicture& picture);
std::vector<uint8_t> EncodePpm(const encoder::RgbPicture& picture);

}  // namespace dualcam::tools

// What the simulated camera's sensor sees, and what its image pipeline makes
// of it: a scene rendered as RGB at any size, then exposure, white balance
// and the image controls (brightness, contrast, hue, saturation, sharpness)
// applied, giving the planar 4:2:0 picture the camera compresses.
//
// Hard part: the controls must change the picture visibly and predictably
// (tests compare pictures taken with different settings) while the default
// settings leave the scene untouched, so every control is neutral at the
// camera's power-on register values and all arithmetic is integer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace dualcam::host::sim {

// The image pipeline's settings, decoded from the camera's registers and
// firmware variables. Neutral values leave the picture as the scene is.
struct ImageControls {
  int brightness = 0;     // -128..127, added to luma
  int contrast = 0;       // 0..31 (register value - 32): luma slope (32 + c) / 32
  int hue = 0;            // 0..719 half-degrees of chroma rotation (larger wrap)
  int saturation = 40;    // 0..63: chroma scaled by s / 40
  int sharpness = 2;      // 0..255: detail scaled by 1 + (s - 2) / 16
  int red_gain = 128;     // white balance, 128 = unity
  int blue_gain = 128;
  int exposure_agc = 16;  // gain (32 + agc) / 48: 16 = unity
};

inline constexpr int kNeutralGain = 128;
inline constexpr int kNeutralAgc = 16;

// A scene renders interleaved 8-bit R, G, B rows, top-down, at any size.
class Scene {
 public:
  virtual ~Scene() = default;
  virtual void Render(uint32_t frame_number, int width, int height,
                      std::vector<uint8_t>& rgb) const = 0;
};

// Colour bars that scroll two pixels a frame over a grey ramp, with the frame
// number drawn in the top-left corner, so motion, colour and frame order can
// all be seen in the pictures.
class TestPatternScene final : public Scene {
 public:
  void Render(uint32_t frame_number, int width, int height, std::vector<uint8_t>& rgb) const override;
};

// A still photograph, scaled (bilinear) to the size asked for.
class PhotoScene final : public Scene {
 public:
  // Loads an 8- or 16-bit PNG of any colour type. Returns null and sets
  // *error on failure.
  static std::shared_ptr<PhotoScene> Load(const std::filesystem::path& path, std::string* error);
  PhotoScene(std::vector<uint8_t> rgb, int width, int height);

  int width() const { return width_; }
  int height() const { return height_; }
  const std::vector<uint8_t>& rgb() const { return rgb_; }
  void Render(uint32_t frame_number, int width, int height, std::vector<uint8_t>& rgb) const override;

 private:
  std::vector<uint8_t> rgb_;
  int width_;
  int height_;
};

// Applies exposure and white balance to the RGB picture, converts it to
// YCbCr (T.81 / JFIF full-range BT.601), applies the image controls and
// subsamples the chroma 2:1 both ways (averaging), giving an I420 picture of
// encoder::I420Size(width, height) bytes.
void DevelopPicture(const ImageControls& controls, const std::vector<uint8_t>& rgb, int width,
                    int height, std::vector<uint8_t>& i420);

}  // namespace dualcam::host::sim

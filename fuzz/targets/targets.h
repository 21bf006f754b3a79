// The fuzz targets: one plain function per input surface of the driver,
// called by its libFuzzer driver (fuzz/driver.cpp) and by the regression
// test that replays the saved inputs. Each returns 0; a fault aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dualcam::fuzz {

// The compressed-picture decoder at every raw size and output kind.
int FuzzDecodePicture(const uint8_t* data, std::size_t size);
// The render routes: any raw frame and header, every format size, output
// kind, tone curve and buffer capacity.
int FuzzRenderFrame(const uint8_t* data, std::size_t size);
// Packet sequences through the packet routine, each finished frame through
// the raw-frame routine, with any statuses, lengths and packet size.
int FuzzFramePath(const uint8_t* data, std::size_t size);
// The data-intersection answer and the format checks with any range.
int FuzzFormats(const uint8_t* data, std::size_t size);
// The device property sets: every handler with any buffers and sizes.
int FuzzProperties(const uint8_t* data, std::size_t size);
// The settings load with any values of any type in the settings key.
int FuzzLoadSettings(const uint8_t* data, std::size_t size);
// The button poll and snapshot service with any information block, mailbox
// values and still flags.
int FuzzSnapshot(const uint8_t* data, std::size_t size);
// What 'dualcam decode' does with an input file: sample or raw frame
// parsing, then the render.
int FuzzDecodeTool(const uint8_t* data, std::size_t size);
// The control socket's request, reply and body-record parsers with any bytes.
int FuzzControlRequest(const uint8_t* data, std::size_t size);

// The class library facing a hostile USB device: any descriptors, control
// answers, selections, packet lengths and statuses, and a minidriver that
// asks for anything.
int FuzzUsbDevice(const uint8_t* data, std::size_t size);

struct FuzzTarget {
  const char* Name;  // folder name under fuzz/corpus and fuzz/regressions
  int (*Run)(const uint8_t* data, std::size_t size);
};

// Every target, in a fixed order.
std::span<const FuzzTarget> AllTargets();

}  // namespace dualcam::fuzz

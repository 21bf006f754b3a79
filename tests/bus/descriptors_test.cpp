// USB descriptors as a device sends them, and the simulated camera seen as a
// USB device: what is read from well-formed and from hostile bytes, which
// interface counts as the camera's, and how the simulated device answers.
#include <gtest/gtest.h>

#include "host/bus/descriptors.h"
#include "host/bus/sim_bus.h"

namespace dualcam::host::bus {
namespace {

std::vector<uint8_t> Camera() { return SimConfigurationDescriptor(); }

TEST(Descriptors, TheSimulatedCameraReadsBackAsItWasWritten) {
  const auto device = ParseDeviceDescriptor(SimDeviceDescriptor());
  ASSERT_TRUE(device);
  EXPECT_EQ(device->vendor_id, kSimVendorId);
  EXPECT_EQ(device->product_id, kSimProductId);
  EXPECT_EQ(device->configurations, 1);

  const auto config = ParseConfiguration(Camera());
  ASSERT_TRUE(config);
  EXPECT_EQ(Camera().size(), 9u + 6 * (9 + 7));
  ASSERT_EQ(config->settings.size(), 6u);
  const auto streaming = FindStreamingInterface(*config);
  ASSERT_TRUE(streaming);
  EXPECT_EQ(streaming->endpoint, 0x81);
  const uint32_t sizes[] = {0, 128, 256, 512, 768, 1023};
  ASSERT_EQ(streaming->settings.size(), 6u);
  for (uint8_t alt = 0; alt < 6; ++alt) EXPECT_EQ(streaming->Setting(alt)->packet_size, sizes[alt]);
  EXPECT_EQ(streaming->Setting(6), nullptr);
}

TEST(Descriptors, HighBandwidthEndpointsCarryTheirExtraTransactions) {
  EXPECT_EQ((Endpoint{0x81, 1, 0x0400, 1}.BytesPerInterval()), 1024u);
  EXPECT_EQ((Endpoint{0x81, 1, 0x1000 | 0x0400, 1}.BytesPerInterval()), 3072u);
  EXPECT_EQ((Endpoint{0x81, 1, 0x0800 | 0x0200, 1}.BytesPerInterval()), 1024u);
  // The reserved fourth transaction count is read as the most there is.
  EXPECT_EQ((Endpoint{0x81, 1, 0x1800 | 0x07FF, 1}.BytesPerInterval()), 3u * 0x7FF);
}

TEST(Descriptors, HostileBytesAreRefusedWholeNotHalfRead) {
  auto config = Camera();
  EXPECT_FALSE(ParseConfiguration({}));
  EXPECT_FALSE(ParseConfiguration(std::span(config).first(8)));
  // A descriptor length of 0 or 1 would never move on.
  for (uint8_t length : {0, 1}) {
    auto bad = config;
    bad[9] = length;
    EXPECT_FALSE(ParseConfiguration(bad)) << int(length);
  }
  // An interface or endpoint shorter than its type needs.
  auto shortInterface = config;
  shortInterface[9] = 8;
  EXPECT_FALSE(ParseConfiguration(shortInterface));
  auto shortEndpoint = config;
  shortEndpoint[9 + 9] = 6;
  EXPECT_FALSE(ParseConfiguration(shortEndpoint));
  // A descriptor running past the bytes that came.
  auto past = config;
  past[past.size() - 7] = 20;
  EXPECT_FALSE(ParseConfiguration(past));
  // A second configuration inside the first.
  auto nested = config;
  nested[9 + 1] = kDescriptorConfiguration;
  EXPECT_FALSE(ParseConfiguration(nested));
  // wTotalLength beyond what arrived: the whole descriptors are read.
  auto cut = config;
  cut[2] = 0xFF;
  cut[3] = 0xFF;
  cut.resize(9 + 3 * 16);
  const auto partial = ParseConfiguration(cut);
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->settings.size(), 3u);
  // wTotalLength shorter than the configuration's own descriptor.
  auto tiny = config;
  tiny[2] = 4;
  tiny[3] = 0;
  EXPECT_FALSE(ParseConfiguration(tiny));
}

TEST(Descriptors, TheStreamingInterfaceIsTheVendorOneWithAnIdleSettingZero) {
  Configuration config;
  config.settings.push_back({0, 0, 0xFF, 0, 0, {{0x81, 0x01, 512, 1}}});  // setting 0 carries bytes
  config.settings.push_back({1, 0, 0x0E, 0, 0, {{0x82, 0x01, 0, 1}}});    // not vendor-specific
  config.settings.push_back({1, 1, 0x0E, 0, 0, {{0x82, 0x01, 512, 1}}});
  config.settings.push_back({3, 0, 0xFF, 0, 0, {}});                      // the camera's
  config.settings.push_back({3, 1, 0xFF, 0, 0, {{0x02, 0x01, 64, 1}, {0x84, 0x01, 640, 1}}});
  config.settings.push_back({3, 1, 0xFF, 0, 0, {{0x84, 0x01, 999, 1}}});  // a repeated number
  const auto found = FindStreamingInterface(*ParseConfiguration(BuildConfiguration(config)));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->number, 3);
  EXPECT_EQ(found->endpoint, 0x84);
  EXPECT_EQ(found->pipes, 2u);
  ASSERT_EQ(found->settings.size(), 2u);
  EXPECT_EQ(found->Setting(0)->packet_size, 0u);
  EXPECT_EQ(found->Setting(1)->packet_size, 640u);  // the first setting 1 counts
  ASSERT_EQ(found->Setting(1)->others.size(), 1u);
  EXPECT_EQ(found->Setting(1)->others[0].address, 0x02);
}

TEST(SimulatedBus, AnswersAsADeviceAndKeepsItsScript) {
  auto camera = std::make_shared<sim::SimCamera>();
  SimBus bus(camera);
  // Standard string requests are the device's; vendor requests the firmware's.
  uint8_t reply[64] = {};
  ControlTransfer strings{0x80, 0x06, 0x0302, 0x0409, reply, sizeof reply};
  const ControlResult product = bus.Control(strings);
  ASSERT_EQ(product.status, Status::kOk);
  EXPECT_EQ(product.transferred, 2u + 2 * 26);
  EXPECT_EQ(reply[2], 'S');
  ControlTransfer busy{kVendorDeviceIn, sim::kRequestBusy, 0, 0, reply, 1};
  EXPECT_EQ(bus.Control(busy).status, Status::kOk);
  camera->FailRequests({.request = sim::kRequestBusy}, STATUS_IO_TIMEOUT);
  EXPECT_EQ(bus.Control(busy).status, Status::kTimeout);
  camera->FailRequests({.request = sim::kRequestBusy}, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(bus.Control(busy).status, Status::kError);
  EXPECT_EQ(bus.Control({kVendorDeviceOut, 0x77}).status, Status::kStall);
  EXPECT_EQ(bus.Control({0x21, 0x01}).status, Status::kStall);  // a class request

  // Settings: refused ones, unknown ones, and none while streaming.
  bus.RefuseAlternateSettings({5});
  EXPECT_EQ(bus.SelectAlternateSetting(0, 5), Status::kNoBandwidth);
  EXPECT_EQ(bus.SelectAlternateSetting(0, 6), Status::kInvalid);
  EXPECT_EQ(bus.SelectAlternateSetting(1, 1), Status::kInvalid);
  ASSERT_EQ(bus.SelectAlternateSetting(0, 4), Status::kOk);
  EXPECT_EQ(bus.StartStream(0x81, 1023), Status::kInvalid);  // not the setting's size
  ASSERT_EQ(bus.StartStream(0x81, 768), Status::kOk);
  EXPECT_EQ(bus.SelectAlternateSetting(0, 3), Status::kBusy);

  // A frame budget: intervals beyond it are not sent.
  bus.LimitFrames(2);
  std::vector<sim::SimPacket> packets;
  EXPECT_TRUE(bus.ProduceInterval(packets));
  EXPECT_TRUE(bus.ProduceInterval(packets));
  EXPECT_FALSE(bus.ProduceInterval(packets));
  bus.AllowFrames(1);
  EXPECT_TRUE(bus.ProduceInterval(packets));

  // Leaving the bus: the handler hears it once, every request fails after.
  int notices = 0;
  bus.SetGoneHandler([&] { ++notices; });
  bus.Unplug();
  bus.Unplug();
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(bus.Control(busy).status, Status::kNoDevice);
  EXPECT_EQ(bus.SelectAlternateSetting(0, 0), Status::kNoDevice);
  EXPECT_FALSE(bus.ProduceInterval(packets));
  bus.SetGoneHandler([&] { ++notices; });  // a late handler hears it at once
  EXPECT_EQ(notices, 2);
}

TEST(SimulatedBus, PacketStatusesAsTheyWouldArriveOnAWire) {
  const auto packet = [](std::size_t size, int32_t status) {
    return sim::SimPacket{std::vector<uint8_t>(size, 1), status};
  };
  EXPECT_EQ(SimPacketStatus(packet(512, 0), 512), PacketStatus::kOk);
  EXPECT_EQ(SimPacketStatus(packet(100, sim::kPacketStatusShort), 512), PacketStatus::kOk);
  EXPECT_EQ(SimPacketStatus(packet(0, sim::kPacketStatusShort), 512), PacketStatus::kOk);
  EXPECT_EQ(SimPacketStatus(packet(100, 0), 512), PacketStatus::kError);  // cut short on the wire
  EXPECT_EQ(SimPacketStatus(packet(512, sim::kPacketStatusError), 512), PacketStatus::kError);
  EXPECT_EQ(SimPacketStatus(packet(600, 0), 512), PacketStatus::kOverflow);
}

}  // namespace
}  // namespace dualcam::host::bus

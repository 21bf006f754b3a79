// The pieces of the libusb bus that need no device: naming a device on the
// command line, and the ring that carries packets from libusb's thread to
// the reading one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/bus/libusb_bus.h"
#include "host/bus/packet_ring.h"

namespace dualcam::host::bus {
namespace {

TEST(DeviceSelector, TheThreeFormsAndWhatTheyName) {
  auto any = ParseDeviceSelector("usb");
  ASSERT_TRUE(any);
  EXPECT_EQ(any->kind, DeviceSelector::Kind::kAny);
  auto ids = ParseDeviceSelector("usb:04Ab:c0");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->kind, DeviceSelector::Kind::kIds);
  EXPECT_EQ(ids->vendor_id, 0x04AB);
  EXPECT_EQ(ids->product_id, 0x00C0);
  auto place = ParseDeviceSelector("usb:3-1.4.2");
  ASSERT_TRUE(place);
  EXPECT_EQ(place->kind, DeviceSelector::Kind::kPlace);
  EXPECT_EQ(place->bus, 3);
  EXPECT_EQ(place->ports, (std::vector<uint8_t>{1, 4, 2}));

  for (const char* bad : {"", "usb:", "USB", "usb1", "cam:1-2", "usb:12345:1", "usb:1:", "usb:g:1", "usb:1-",
                          "usb:0-1", "usb:256-1", "usb:1-0", "usb:1-2..3", "usb:1-1.2.3.4.5.6.7.8", "usb:1",
                          "usb:1-2 ", "usb:-1"}) {
    std::string error;
    EXPECT_FALSE(ParseDeviceSelector(bad, &error)) << bad;
    EXPECT_EQ(error.rfind("bad device '" + std::string(bad) + "' (", 0), 0u) << error;
  }
  UsbCameraInfo info;
  info.bus = 3;
  info.ports = {1, 4, 2};
  info.vendor_id = 0x1209;
  info.product_id = 1;
  EXPECT_EQ(info.Place(), "3-1.4.2");
  EXPECT_EQ(info.Ids(), "1209:0001");
}

struct Collect final : PacketSink {
  bool Packet(std::span<const uint8_t> bytes, PacketStatus status) override {
    seen.push_back({bytes.empty() ? -1 : bytes[0], status, bytes.size()});
    return --budget != 0;
  }
  struct Seen {
    int first;
    PacketStatus status;
    std::size_t length;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  int budget = -1;  // packets to take before stopping; -1: all
};

void Push(PacketRing& ring, std::initializer_list<uint8_t> firsts, std::size_t length = 8) {
  PacketRing::Writer writer(ring);
  for (uint8_t first : firsts) {
    std::vector<uint8_t> packet(length, first);
    writer.Push(packet, PacketStatus::kOk);
  }
}

TEST(PacketRing, PacketsComeOutInOrderAndALostRunShowsOnceWhereItWas) {
  PacketRing ring;
  ring.Reset(4, 8);
  Push(ring, {1, 2, 3, 4, 5, 6});  // 5 and 6 find the ring full
  EXPECT_EQ(ring.Dropped(), 2u);
  Collect first;
  first.budget = 2;
  EXPECT_EQ(ring.Drain(first), 2u);  // the sink stops after two; the rest waits
  Push(ring, {7, 8, 9});             // the gap takes a slot before 7; 8 and 9 fit, too many for 9
  Collect rest;
  ring.Drain(rest);
  using S = Collect::Seen;
  EXPECT_EQ(first.seen, (std::vector<S>{{1, PacketStatus::kOk, 8}, {2, PacketStatus::kOk, 8}}));
  EXPECT_EQ(rest.seen, (std::vector<S>{{3, PacketStatus::kOk, 8},
                                       {4, PacketStatus::kOk, 8},
                                       {-1, PacketStatus::kMissed, 0},
                                       {7, PacketStatus::kOk, 8}}));
  EXPECT_EQ(ring.Dropped(), 4u);  // 5, 6, 8, 9
  // The next free slot marks the second run too.
  Push(ring, {10});
  Collect after;
  ring.Drain(after);
  EXPECT_EQ(after.seen, (std::vector<S>{{-1, PacketStatus::kMissed, 0}, {10, PacketStatus::kOk, 8}}));
}

TEST(PacketRing, ALongPacketIsCutAndMarkedAndAClearedBatchIsNotFreedTwice) {
  PacketRing ring;
  ring.Reset(8, 4);
  Push(ring, {1}, 9);
  Push(ring, {2, 3}, 4);
  struct ClearingSink final : PacketSink {
    PacketRing* ring;
    unsigned packets = 0;
    bool Packet(std::span<const uint8_t> bytes, PacketStatus status) override {
      if (packets++ == 0) {
        EXPECT_EQ(bytes.size(), 4u);
        EXPECT_EQ(status, PacketStatus::kOverflow);
        ring->Clear();  // a stream stopped while this batch was in hand
      }
      return true;
    }
  } sink;
  sink.ring = &ring;
  EXPECT_EQ(ring.Drain(sink), 3u);
  EXPECT_EQ(ring.Waiting(), 0u);
  Push(ring, {4});
  Collect next;
  ring.Drain(next);
  ASSERT_EQ(next.seen.size(), 1u);
  EXPECT_EQ(next.seen[0].first, 4);
}

TEST(PacketRing, AWaitEndsWithPacketsAWakeOrItsDeadline) {
  PacketRing ring;
  ring.Reset(8, 4);
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(20); };
  EXPECT_FALSE(ring.Wait(soon()));
  ring.Wake();
  EXPECT_FALSE(ring.Wait(std::chrono::steady_clock::now() + std::chrono::hours(1)));  // woken, nothing waits
  std::thread producer([&] { Push(ring, {1}); });
  EXPECT_TRUE(ring.Wait(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
  producer.join();
}

}  // namespace
}  // namespace dualcam::host::bus

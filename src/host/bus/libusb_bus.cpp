// A USB camera through libusb-1.0 (see libusb_bus.h).
#include "host/bus/libusb_bus.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <tuple>

namespace dualcam::host::bus {
namespace {

// How long a stop waits for libusb to hand back its transfers.
constexpr auto kStopWait = std::chrono::seconds(2);

Status FromLibusb(int error) {
  switch (error) {
    case LIBUSB_SUCCESS: return Status::kOk;
    case LIBUSB_ERROR_TIMEOUT: return Status::kTimeout;
    case LIBUSB_ERROR_PIPE: return Status::kStall;
    case LIBUSB_ERROR_NO_DEVICE: return Status::kNoDevice;
    case LIBUSB_ERROR_ACCESS: return Status::kAccess;
    case LIBUSB_ERROR_BUSY: return Status::kBusy;
    case LIBUSB_ERROR_NOT_FOUND: return Status::kNotFound;
    case LIBUSB_ERROR_INVALID_PARAM: return Status::kInvalid;
    case LIBUSB_ERROR_NO_MEM: return Status::kNoMemory;
    default: return Status::kError;  // I/O, overflow, interrupted, other
  }
}

PacketStatus FromIsoPacket(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return PacketStatus::kOk;
    case LIBUSB_TRANSFER_STALL: return PacketStatus::kStall;
    case LIBUSB_TRANSFER_OVERFLOW: return PacketStatus::kOverflow;
    case LIBUSB_TRANSFER_NO_DEVICE: return PacketStatus::kNoDevice;
    case LIBUSB_TRANSFER_CANCELLED: return PacketStatus::kMissed;
    default: return PacketStatus::kError;  // error, timed out
  }
}

template <typename T>
bool ParseNumber(std::string_view text, int base, T max, T* out) {
  if (text.empty() || text.size() > 4) return false;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return false;
  *out = static_cast<T>(value);
  return true;
}

// What libusb parsed, written back as descriptors for the class library to
// read like any device's.
std::vector<uint8_t> Serialize(const libusb_config_descriptor& config) {
  Configuration out;
  out.value = config.bConfigurationValue;
  out.attributes = config.bmAttributes;
  out.max_power = config.MaxPower;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& iface = config.interface[i];
    for (int a = 0; a < iface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      InterfaceSetting setting;
      setting.number = alt.bInterfaceNumber;
      setting.alternate = alt.bAlternateSetting;
      setting.interface_class = alt.bInterfaceClass;
      setting.interface_subclass = alt.bInterfaceSubClass;
      setting.interface_protocol = alt.bInterfaceProtocol;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        setting.endpoints.push_back({ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval});
      }
      out.settings.push_back(std::move(setting));
    }
  }
  return BuildConfiguration(out);
}

struct Described {
  UsbCameraInfo info;
  std::vector<uint8_t> device_descriptor;
  std::vector<uint8_t> configuration;
  std::optional<StreamingInterface> streaming;
};

Described Describe(libusb_device* device) {
  Described d;
  libusb_device_descriptor desc{};
  if (libusb_get_device_descriptor(device, &desc) == 0) {
    DeviceInfo info;
    info.bcd_usb = desc.bcdUSB;
    info.device_class = desc.bDeviceClass;
    info.max_packet_size0 = desc.bMaxPacketSize0;
    info.vendor_id = desc.idVendor;
    info.product_id = desc.idProduct;
    info.bcd_device = desc.bcdDevice;
    info.manufacturer_string = desc.iManufacturer;
    info.product_string = desc.iProduct;
    info.serial_string = desc.iSerialNumber;
    info.configurations = desc.bNumConfigurations;
    AppendDeviceDescriptor(d.device_descriptor, info);
    d.info.vendor_id = desc.idVendor;
    d.info.product_id = desc.idProduct;
  }
  d.info.bus = libusb_get_bus_number(device);
  d.info.address = libusb_get_device_address(device);
  uint8_t ports[8];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  if (depth > 0) d.info.ports.assign(ports, ports + depth);
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) libusb_get_config_descriptor(device, 0, &config);
  if (config) {
    d.configuration = Serialize(*config);
    libusb_free_config_descriptor(config);
    if (const auto parsed = ParseConfiguration(d.configuration)) d.streaming = FindStreamingInterface(*parsed);
  }
  d.info.camera = d.streaming.has_value();
  return d;
}

std::string ReadString(libusb_device_handle* handle, uint8_t index) {
  if (index == 0) return {};
  unsigned char text[128];
  const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n)) : std::string();
}

void ReadStrings(libusb_device* device, UsbCameraInfo& info) {
  libusb_device_descriptor desc{};
  libusb_device_handle* handle = nullptr;
  if (libusb_get_device_descriptor(device, &desc) != 0 || libusb_open(device, &handle) != 0) return;
  info.manufacturer = ReadString(handle, desc.iManufacturer);
  info.product = ReadString(handle, desc.iProduct);
  libusb_close(handle);
}

bool Matches(const DeviceSelector& selector, const Described& d) {
  switch (selector.kind) {
    case DeviceSelector::Kind::kAny: return d.info.camera;
    case DeviceSelector::Kind::kIds:
      return d.info.vendor_id == selector.vendor_id && d.info.product_id == selector.product_id;
    case DeviceSelector::Kind::kPlace: return d.info.bus == selector.bus && d.info.ports == selector.ports;
  }
  return false;
}

std::string Label(const UsbCameraInfo& info) { return "usb:" + info.Place() + " (" + info.Ids() + ")"; }

std::string SelectorText(const DeviceSelector& s) {
  char text[64];
  switch (s.kind) {
    case DeviceSelector::Kind::kAny: return "usb";
    case DeviceSelector::Kind::kIds:
      std::snprintf(text, sizeof text, "usb:%04x:%04x", s.vendor_id, s.product_id);
      return text;
    case DeviceSelector::Kind::kPlace: {
      UsbCameraInfo place;
      place.bus = s.bus;
      place.ports = s.ports;
      return "usb:" + place.Place();
    }
  }
  return "usb";
}

}  // namespace

std::optional<DeviceSelector> ParseDeviceSelector(std::string_view text, std::string* error) {
  auto fail = [&](std::string why) -> std::optional<DeviceSelector> {
    if (error) *error = "bad device '" + std::string(text) + "' (" + why + ")";
    return std::nullopt;
  };
  DeviceSelector selector;
  if (text == "usb") return selector;
  if (text.substr(0, 4) != "usb:") return fail("expected usb, usb:VVVV:PPPP or usb:BUS-PORT[.PORT...]");
  const std::string_view rest = text.substr(4);
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    selector.kind = DeviceSelector::Kind::kIds;
    if (!ParseNumber<uint16_t>(rest.substr(0, colon), 16, 0xFFFF, &selector.vendor_id) ||
        !ParseNumber<uint16_t>(rest.substr(colon + 1), 16, 0xFFFF, &selector.product_id))
      return fail("vendor and product ids are up to four hex digits each, as lsusb shows them");
    return selector;
  }
  const auto dash = rest.find('-');
  if (dash == std::string_view::npos) return fail("expected usb:VVVV:PPPP or usb:BUS-PORT[.PORT...]");
  selector.kind = DeviceSelector::Kind::kPlace;
  if (!ParseNumber<uint8_t>(rest.substr(0, dash), 10, 255, &selector.bus) || selector.bus == 0)
    return fail("the bus is a number from 1 to 255");
  std::string_view ports = rest.substr(dash + 1);
  for (;;) {
    const auto dot = ports.find('.');
    uint8_t port = 0;
    if (!ParseNumber<uint8_t>(ports.substr(0, dot), 10, 255, &port) || port == 0 || selector.ports.size() == 7)
      return fail("ports are numbers from 1 to 255, at most 7 of them, joined by '.'");
    selector.ports.push_back(port);
    if (dot == std::string_view::npos) break;
    ports = ports.substr(dot + 1);
  }
  return selector;
}

std::string UsbCameraInfo::Place() const {
  std::string text = std::to_string(bus);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    text.push_back(i == 0 ? '-' : '.');
    text.append(std::to_string(ports[i]));
  }
  return text;
}

std::string UsbCameraInfo::Ids() const {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor_id, product_id);
  return text;
}

struct LibusbBus::Transfer {
  LibusbBus* owner = nullptr;
  libusb_transfer* transfer = nullptr;
  std::vector<uint8_t> buffer;
  uint32_t packet_size = 0;
};

LibusbBus::LibusbBus(const Options& options) : options_(options) {
  options_.transfers = std::clamp(options_.transfers, 1u, 32u);
  options_.packets_per_transfer = std::clamp(options_.packets_per_transfer, 1u, 128u);
}

std::vector<UsbCameraInfo> LibusbBus::List(bool cameras_only, std::string* error) {
  libusb_context* context = nullptr;
  if (const int r = libusb_init(&context); r != 0) {
    if (error) *error = std::string("cannot start libusb: ") + libusb_strerror(r);
    return {};
  }
  std::vector<UsbCameraInfo> found;
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(context, &devices);
  for (ssize_t i = 0; i < count; ++i) {
    Described d = Describe(devices[i]);
    if (cameras_only && !d.info.camera) continue;
    ReadStrings(devices[i], d.info);
    found.push_back(std::move(d.info));
  }
  if (count < 0 && error) *error = std::string("cannot list USB devices: ") + libusb_strerror(static_cast<int>(count));
  if (devices) libusb_free_device_list(devices, 1);
  libusb_exit(context);
  return found;
}

LibusbBus::Opened LibusbBus::Open(const DeviceSelector& selector, const Options& options) {
  std::shared_ptr<LibusbBus> bus(new LibusbBus(options));
  auto fail = [](Status status, std::string message) { return Opened{nullptr, status, std::move(message)}; };
  if (const int r = libusb_init(&bus->context_); r != 0) {
    bus->context_ = nullptr;
    return fail(FromLibusb(r), std::string("cannot start libusb: ") + libusb_strerror(r));
  }

  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(bus->context_, &devices);
  if (count < 0)
    return fail(FromLibusb(static_cast<int>(count)),
                std::string("cannot list USB devices: ") + libusb_strerror(static_cast<int>(count)));
  std::vector<std::pair<libusb_device*, Described>> matches;
  unsigned cameras = 0;
  for (ssize_t i = 0; i < count; ++i) {
    Described d = Describe(devices[i]);
    cameras += d.info.camera;
    if (Matches(selector, d)) matches.emplace_back(devices[i], std::move(d));
  }
  std::sort(matches.begin(), matches.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second.info.bus, a.second.info.ports) < std::tie(b.second.info.bus, b.second.info.ports);
  });
  std::string problem;
  Status status = Status::kOk;
  if (matches.empty()) {
    status = Status::kNotFound;
    problem = selector.kind == DeviceSelector::Kind::kAny
                  ? "no camera found on the USB bus (" + std::to_string(count) +
                        " devices, none with the camera's streaming interface)"
                  : "no USB device " + SelectorText(selector) + " (" + std::to_string(cameras) +
                        (cameras == 1 ? " camera" : " cameras") + " on the bus)";
  } else if (matches.size() > 1) {
    status = Status::kInvalid;
    problem = "several devices match " + SelectorText(selector) + ":";
    for (const auto& m : matches) problem.append(" ").append(Label(m.second.info));
    problem += "; name one with --device usb:BUS-PORT";
  } else if (!matches.front().second.info.camera) {
    status = Status::kInvalid;
    problem = Label(matches.front().second.info) + " has no interface the camera streams from";
  } else {
    bus->device_ = libusb_ref_device(matches.front().first);
    Described& d = matches.front().second;
    bus->info_ = d.info;
    bus->device_descriptor_ = std::move(d.device_descriptor);
    bus->configuration_ = std::move(d.configuration);
    bus->interface_ = d.streaming->number;
  }
  libusb_free_device_list(devices, 1);
  if (status != Status::kOk) return fail(status, problem);

  const std::string name = bus->Name();
  if (const int r = libusb_open(bus->device_, &bus->handle_); r != 0) {
    bus->handle_ = nullptr;
    std::string message = "cannot open " + name + ": " + libusb_strerror(r);
    if (r == LIBUSB_ERROR_ACCESS) message += " (a udev rule gives you access: see docs/real-camera.md)";
    return fail(FromLibusb(r), message);
  }
  ReadStrings(bus->device_, bus->info_);
  if (libusb_kernel_driver_active(bus->handle_, bus->interface_) == 1) {
    if (const int r = libusb_detach_kernel_driver(bus->handle_, bus->interface_); r != 0)
      return fail(FromLibusb(r), "cannot detach the kernel driver from " + name + ": " + libusb_strerror(r));
    bus->detached_driver_ = true;
  }
  if (const int r = libusb_claim_interface(bus->handle_, bus->interface_); r != 0) {
    std::string message = r == LIBUSB_ERROR_BUSY ? name + " is in use by another program"
                                                 : "cannot claim " + name + ": " + libusb_strerror(r);
    return fail(FromLibusb(r), message);
  }
  bus->claimed_ = true;
  if (const int r = libusb_set_interface_alt_setting(bus->handle_, bus->interface_, 0); r == LIBUSB_ERROR_NO_DEVICE)
    return fail(Status::kNoDevice, name + " left the bus while it was being opened");

  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    // Runs on the event thread; stays registered until the close.
    const libusb_hotplug_callback_fn left = [](libusb_context*, libusb_device* device, libusb_hotplug_event,
                                               void* self) {
      auto* owner = static_cast<LibusbBus*>(self);
      if (device == owner->device_) owner->MarkGone();
      return 0;
    };
    bus->has_hotplug_ =
        libusb_hotplug_register_callback(bus->context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, bus->info_.vendor_id,
                                         bus->info_.product_id, LIBUSB_HOTPLUG_MATCH_ANY, left,
                                         bus.get(), &bus->hotplug_) == LIBUSB_SUCCESS;
  }
  bus->events_ = std::thread([raw = bus.get()] { raw->EventLoop(); });
  return {bus, Status::kOk, {}};
}

LibusbBus::~LibusbBus() {
  StopStream();
  if (has_hotplug_) libusb_hotplug_deregister_callback(context_, hotplug_);
  if (handle_) {
    // Setting 0 explicitly: some cameras keep streaming otherwise.
    if (claimed_ && !Gone()) libusb_set_interface_alt_setting(handle_, interface_, 0);
    if (claimed_) libusb_release_interface(handle_, interface_);
    if (detached_driver_ && !Gone()) libusb_attach_kernel_driver(handle_, interface_);
    libusb_close(handle_);
  }
  quit_.store(true, std::memory_order_release);
  if (events_.joinable()) {
    libusb_interrupt_event_handler(context_);
    events_.join();
  }
  FreeTransfers();
  if (device_) libusb_unref_device(device_);
  if (context_) libusb_exit(context_);
}

std::string LibusbBus::Name() const { return "usb " + info_.Place() + " (" + info_.Ids() + ")"; }

void LibusbBus::EventLoop() {
  // Named, so that it can be told apart in a debugger, top or a profile.
  pthread_setname_np(pthread_self(), "dualcam-usb");
  while (!quit_.load(std::memory_order_acquire)) {
    timeval wait{0, 200000};
    libusb_handle_events_timeout_completed(context_, &wait, nullptr);
  }
}



void LibusbBus::MarkGone() {
  if (gone_.exchange(true, std::memory_order_acq_rel)) return;
  std::function<void()> handler;
  {
    std::lock_guard lock(gone_mutex_);
    handler = gone_handler_;
  }
  if (handler) handler();
  ring_.Wake();
}

void LibusbBus::SetGoneHandler(std::function<void()> handler) {
  {
    std::lock_guard lock(gone_mutex_);
    gone_handler_ = handler;
  }
  if (Gone() && handler) handler();
}

ControlResult LibusbBus::Control(const ControlTransfer& t) {
  if (Gone()) return {Status::kNoDevice, 0};
  // libusb reads a timeout of 0 as "wait for ever".
  const auto timeout = static_cast<unsigned>(std::max<long long>(1, t.timeout.count()));
  const int r = libusb_control_transfer(handle_, t.request_type, t.request, t.value, t.index, t.data, t.length,
                                        timeout);
  if (r >= 0) return {Status::kOk, static_cast<uint32_t>(r)};
  if (r == LIBUSB_ERROR_NO_DEVICE) MarkGone();
  return {FromLibusb(r), 0};
}

Status LibusbBus::SelectAlternateSetting(uint8_t interface, uint8_t setting) {
  if (Gone()) return Status::kNoDevice;
  if (interface != interface_) return Status::kInvalid;
  {
    std::lock_guard lock(stream_mutex_);
    if (streaming_ || in_flight_ > 0) return Status::kBusy;
  }
  const int r = libusb_set_interface_alt_setting(handle_, interface, setting);
  switch (r) {
    case LIBUSB_SUCCESS: return Status::kOk;
    case LIBUSB_ERROR_NOT_FOUND: return Status::kInvalid;
    case LIBUSB_ERROR_NO_DEVICE: MarkGone(); return Status::kNoDevice;
    // Linux answers a setting the bus cannot schedule with ENOSPC, which
    // libusb reports as "other": the bus refusing bandwidth.
    default: return Status::kNoBandwidth;
  }
}

Status LibusbBus::StartStream(uint8_t endpoint, uint32_t packet_size) {
  if (Gone()) return Status::kNoDevice;
  if (packet_size == 0 || packet_size > 0xFFFF || (endpoint & 0x80) == 0) return Status::kInvalid;
  const unsigned packets = options_.packets_per_transfer;
  {
    std::lock_guard lock(stream_mutex_);
    if (streaming_ || in_flight_ > 0) return Status::kBusy;
    if (stuck_) return Status::kError;  // an earlier stop never got its transfers back
    if (transfers_.empty() || packet_size != packet_size_) {
      // Allocated when the packet size changes, never in the steady state.
      FreeTransfers();
      for (unsigned i = 0; i < options_.transfers; ++i) {
        auto t = std::make_unique<Transfer>();
        t->owner = this;
        t->transfer = libusb_alloc_transfer(static_cast<int>(packets));
        if (!t->transfer) {
          FreeTransfers();
          return Status::kNoMemory;
        }
        t->buffer.assign(static_cast<std::size_t>(packets) * packet_size, 0);
        t->packet_size = packet_size;
        transfers_.push_back(std::move(t));
      }
      packet_size_ = packet_size;
      ring_.Reset(std::max<std::size_t>(options_.ring_packets, 2u * options_.transfers * packets), packet_size);
    }
    ring_.Clear();
    streaming_ = true;
    for (auto& t : transfers_) {
      libusb_fill_iso_transfer(t->transfer, handle_, endpoint, t->buffer.data(), static_cast<int>(t->buffer.size()),
                               static_cast<int>(packets), &LibusbBus::TransferDone, t.get(), 0);
      libusb_set_iso_packet_lengths(t->transfer, packet_size);
    }
  }
  int failed = 0;
  for (auto& t : transfers_) {
    std::lock_guard lock(stream_mutex_);
    if (const int r = libusb_submit_transfer(t->transfer); r != 0) {
      failed = r;
      break;
    }
    ++in_flight_;
  }
  if (failed == 0) return Status::kOk;
  StopStream();
  if (failed == LIBUSB_ERROR_NO_DEVICE) {
    MarkGone();
    return Status::kNoDevice;
  }
  // The kernel refuses isochronous transfers it cannot schedule (ENOSPC,
  // EFBIG) or pin (ENOMEM) when they are submitted: no bandwidth either way.
  return Status::kNoBandwidth;
}

void LibusbBus::TransferDone(libusb_transfer* transfer) {
  auto* t = static_cast<Transfer*>(transfer->user_data);
  t->owner->Completed(*t);
}

void LibusbBus::Completed(Transfer& t) {
  libusb_transfer* transfer = t.transfer;
  const libusb_transfer_status status = transfer->status;
  const bool delivers = status != LIBUSB_TRANSFER_CANCELLED && status != LIBUSB_TRANSFER_NO_DEVICE;
  if (delivers) {
    // Packets lie at their own offsets, each packet_size bytes apart.
    PacketRing::Writer writer(ring_);
    for (int i = 0; i < transfer->num_iso_packets; ++i) {
      const libusb_iso_packet_descriptor& packet = transfer->iso_packet_desc[i];
      const std::size_t length = std::min<std::size_t>(packet.actual_length, t.packet_size);
      writer.Push({t.buffer.data() + static_cast<std::size_t>(i) * t.packet_size, length},
                  packet.actual_length > t.packet_size ? PacketStatus::kOverflow : FromIsoPacket(packet.status));
    }
  }
  bool gone = status == LIBUSB_TRANSFER_NO_DEVICE;
  {
    std::lock_guard lock(stream_mutex_);
    bool retire = !streaming_ || !delivers;
    if (!retire) {
      const int r = libusb_submit_transfer(transfer);
      retire = r != 0;
      gone = gone || r == LIBUSB_ERROR_NO_DEVICE;
    }
    if (retire) {
      --in_flight_;
      retired_.notify_all();
    }
  }
  if (gone) MarkGone();
}

void LibusbBus::StopStream() {
  std::vector<libusb_transfer*> flying;
  {
    std::lock_guard lock(stream_mutex_);
    streaming_ = false;
    if (in_flight_ > 0)
      for (auto& t : transfers_) flying.push_back(t->transfer);
  }
  // Outside the lock: a callback that is about to take it must not wait on
  // a cancellation that waits on it.
  for (libusb_transfer* transfer : flying) libusb_cancel_transfer(transfer);
  std::unique_lock lock(stream_mutex_);
  if (!retired_.wait_for(lock, kStopWait, [&] { return in_flight_ == 0; })) stuck_ = true;
  ring_.Clear();
}

void LibusbBus::FreeTransfers() {
  if (in_flight_ > 0 || stuck_) {
    if (!quit_.load(std::memory_order_acquire)) return;  // libusb may still call back into them
  }
  for (auto& t : transfers_) libusb_free_transfer(t->transfer);
  transfers_.clear();
}

bool LibusbBus::WaitForPackets(std::chrono::steady_clock::time_point deadline) {
  if (Gone()) return ring_.Waiting() > 0;
  return ring_.Wait(deadline);
}

void LibusbBus::Interrupt() { ring_.Wake(); }

UsbDevice::Delivered LibusbBus::Deliver(PacketSink& sink) { return {0, ring_.Drain(sink)}; }

}  // namespace dualcam::host::bus

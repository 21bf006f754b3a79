// The simulated camera behind usbdevfs, through umockdev (see
// usb_emulation.h).
#include "host/bus/emulated/usb_emulation.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace dualcam::host::bus::emulated {
namespace {

// How long a reap with nothing ready waits before EAGAIN. libusb polls the
// emulated node, which is always writable, so its event thread comes back at
// once: the wait is what keeps it from spinning. But the preload passes one
// ioctl of a descriptor at a time, so a waiting reap also holds up the
// control requests of other threads: while isochronous URBs wait for frames
// (a stream, when requests are few) the wait is longer than while none do
// (setting up, when requests come by the hundred).
constexpr auto kReapWaitStreaming = std::chrono::microseconds(1000);
constexpr auto kReapWaitIdle = std::chrono::microseconds(200);

// Cameras are made on the test's thread and served on umockdev's worker
// thread, which learns of them through GLib's main context: an ordering the
// thread sanitizer cannot see inside GLib. Each camera is published here
// once it is whole, and the worker reads this before touching one.
std::atomic<uint64_t> g_published{0};

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

// Reads the client's argument block of `size` bytes behind the pointer the
// ioctl was given.
UMockdevIoctlData* Resolve(UMockdevIoctlData* arg, std::size_t size) {
  GError* error = nullptr;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
  if (error) g_error_free(error);
  return data;
}

int ErrnoFor(Status status) {
  switch (status) {
    case Status::kOk: return 0;
    case Status::kStall: return EPIPE;
    case Status::kNoDevice: return ENODEV;
    case Status::kNoBandwidth: return ENOSPC;
    case Status::kInvalid: return EINVAL;
    case Status::kBusy: return EBUSY;
    case Status::kTimeout: return ETIMEDOUT;
    default: return EPROTO;
  }
}

int PacketErrno(PacketStatus status) {
  switch (status) {
    case PacketStatus::kOk: return 0;
    case PacketStatus::kOverflow: return EOVERFLOW;
    case PacketStatus::kStall: return EPIPE;
    case PacketStatus::kNoDevice: return ESHUTDOWN;
    case PacketStatus::kMissed: return EXDEV;
    default: return EILSEQ;  // a CRC error on the wire
  }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    out += digits;
  }
  return out;
}

}  // namespace

// --- EmulatedCamera -----------------------------------------------------------

EmulatedCamera::EmulatedCamera(UMockdevTestbed* testbed, std::shared_ptr<SimBus> device, const Options& options,
                               unsigned number)
    : testbed_(testbed), device_(device ? std::move(device) : std::make_shared<SimBus>()), options_(options) {
  char node[64];
  const unsigned address = 2 + number;
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", address);
  devnode_ = node;
  syspath_ = "/sys/devices/usb1/" + Place();
  driver_bound_ = !options_.kernel_driver.empty();

  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedCamera::HandleIoctl), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedCamera::ClientVanished), this);
  // The handler goes in before the device: the preload binds a node's
  // handler when the node is opened, and the "add" uevent may come first.
  GError* error = nullptr;
  g_published.fetch_add(1, std::memory_order_release);
  if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
    const std::string why = error ? error->message : "unknown";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot emulate " + devnode_ + ": " + why);
  }
  std::vector<uint8_t> descriptors = SimDeviceDescriptor();
  const auto config = SimConfigurationDescriptor();
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  const std::string text = "P: /devices/usb1/" + Place() + "\nN: " + devnode_.substr(5) +
                           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
                           devnode_.substr(devnode_.size() - 3) + "\nE: DEVNAME=" + devnode_ +
                           "\nA: busnum=1\\n\nA: devnum=" + std::to_string(address) +
                           "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + Hex(descriptors) +
                           "\n";
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    const std::string why = error ? error->message : "unknown";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot add the emulated camera: " + why);
  }
}

EmulatedCamera::~EmulatedCamera() {
  umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
  std::lock_guard lock(mutex_);
  for (auto& [client, state] : clients_) {
    for (Urb& urb : state.waiting) g_object_unref(urb.data);
    for (Urb& urb : state.done) g_object_unref(urb.data);
  }
  clients_.clear();
  g_object_unref(handler_);
}

std::string EmulatedCamera::Place() const { return "1-" + std::to_string(options_.port); }

void EmulatedCamera::AllowFrames(uint64_t frames) {
  device_->AllowFrames(frames);
  ready_.notify_all();
}

EmulatedCamera::Stats EmulatedCamera::GetStats() const {
  std::lock_guard lock(mutex_);
  Stats stats = stats_;
  stats.clients = static_cast<unsigned>(clients_.size());
  stats.driver_bound = driver_bound_;
  return stats;
}

int EmulatedCamera::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  g_published.load(std::memory_order_acquire);
  return static_cast<EmulatedCamera*>(self)->Handle(client) ? TRUE : FALSE;
}

void EmulatedCamera::ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  // The file was closed (or its process ended): as the kernel does, its
  // claims go and its URBs are killed.
  g_published.load(std::memory_order_acquire);
  auto* camera = static_cast<EmulatedCamera*>(self);
  std::lock_guard lock(camera->mutex_);
  for (auto it = camera->claims_.begin(); it != camera->claims_.end();)
    it = it->second == client ? camera->claims_.erase(it) : std::next(it);
  if (auto it = camera->clients_.find(client); it != camera->clients_.end()) {
    for (Urb& urb : it->second.waiting) g_object_unref(urb.data);
    for (Urb& urb : it->second.done) g_object_unref(urb.data);
    camera->clients_.erase(it);
  }
}

bool EmulatedCamera::Handle(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto complete = [client](long result, int error) { umockdev_ioctl_client_complete(client, result, error); };
  {
    std::lock_guard lock(mutex_);
    clients_.try_emplace(client);
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* data = Resolve(arg, sizeof(uint32_t));
      const uint32_t caps =
          USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      if (!data) return complete(-1, EFAULT), true;
      std::memcpy(data->data, &caps, sizeof caps);
      complete(0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      UMockdevIoctlData* data = Resolve(arg, sizeof(unsigned));
      if (!data) return complete(-1, EFAULT), true;
      unsigned number;
      std::memcpy(&number, data->data, sizeof number);
      std::lock_guard lock(mutex_);
      if (gone_) return complete(-1, ENODEV), true;
      auto held = claims_.find(number);
      if (request == USBDEVFS_CLAIMINTERFACE) {
        if (held != claims_.end() && held->second != client) {
          ++stats_.refused_claims;
          return complete(-1, EBUSY), true;
        }
        if (number != kSimInterface) return complete(-1, ENOENT), true;
        claims_[number] = client;
      } else {
        if (held == claims_.end() || held->second != client) return complete(-1, EINVAL), true;
        claims_.erase(held);
      }
      complete(0, 0);
      return true;
    }
    case USBDEVFS_SETINTERFACE: {
      UMockdevIoctlData* data = Resolve(arg, sizeof(usbdevfs_setinterface));
      if (!data) return complete(-1, EFAULT), true;
      usbdevfs_setinterface setting;
      std::memcpy(&setting, data->data, sizeof setting);
      std::lock_guard lock(mutex_);
      if (gone_) return complete(-1, ENODEV), true;
      auto held = claims_.find(setting.interface);
      if (held == claims_.end() || held->second != client) return complete(-1, EINVAL), true;
      const Status status =
          device_->SelectAlternateSetting(static_cast<uint8_t>(setting.interface), static_cast<uint8_t>(setting.altsetting));
      if (status == Status::kOk) packets_.clear();  // the packet size changes with the setting
      complete(status == Status::kOk ? 0 : -1, ErrnoFor(status));
      return true;
    }
    case USBDEVFS_GETDRIVER: {
      UMockdevIoctlData* data = Resolve(arg, sizeof(usbdevfs_getdriver));
      if (!data) return complete(-1, EFAULT), true;
      std::lock_guard lock(mutex_);
      if (!driver_bound_) return complete(-1, ENODATA), true;
      auto* answer = reinterpret_cast<usbdevfs_getdriver*>(data->data);
      std::snprintf(answer->driver, sizeof answer->driver, "%s", options_.kernel_driver.c_str());
      complete(0, 0);
      return true;
    }
    case USBDEVFS_IOCTL: {
      // Detaching and re-attaching the kernel driver. Answering ENODATA when
      // none is bound matters: anything else makes libusb's detach fail.
      UMockdevIoctlData* data = Resolve(arg, sizeof(usbdevfs_ioctl));
      if (!data) return complete(-1, EFAULT), true;
      usbdevfs_ioctl command;
      std::memcpy(&command, data->data, sizeof command);
      std::lock_guard lock(mutex_);
      if (gone_) return complete(-1, ENODEV), true;
      if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!driver_bound_) return complete(-1, ENODATA), true;
        driver_bound_ = false;
        return complete(0, 0), true;
      }
      if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (options_.kernel_driver.empty()) return complete(-1, ENODATA), true;
        driver_bound_ = true;
        return complete(0, 0), true;
      }
      return complete(-1, ENOTTY), true;
    }
    case USBDEVFS_SUBMITURB:
      Submit(client);
      return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client);
      return true;
    case USBDEVFS_DISCARDURB:
      Discard(client);
      return true;
    default:
      return false;  // umockdev's own answer: ENOTTY
  }
}

void EmulatedCamera::Submit(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  UMockdevIoctlData* data = Resolve(arg, sizeof(usbdevfs_urb));
  if (!data) return umockdev_ioctl_client_complete(client, -1, EFAULT);
  const usbdevfs_urb head = *UrbOf(data);
  if (head.type == USBDEVFS_URB_TYPE_ISO) {
    // The packet descriptors follow the URB inline, beyond what the ioctl's
    // size covers. Read the URB again with them: reload forgets the first
    // resolution, and the pointer slot takes the client's address back.
    if (head.number_of_packets <= 0 || head.number_of_packets > 128)
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    GError* error = nullptr;
    umockdev_ioctl_data_reload(arg, &error);
    if (error) g_error_free(error);
    std::memcpy(arg->data, &address, sizeof address);
    data = Resolve(arg, sizeof(usbdevfs_urb) + head.number_of_packets * sizeof(usbdevfs_iso_packet_desc));
    if (!data) return umockdev_ioctl_client_complete(client, -1, EFAULT);
  }
  if (head.buffer_length < 0) return umockdev_ioctl_client_complete(client, -1, EINVAL);
  if (head.buffer && head.buffer_length > 0) {
    GError* error = nullptr;
    if (!umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(head.buffer_length),
                                     &error)) {
      if (error) g_error_free(error);
      return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
  }
  Urb urb{static_cast<UMockdevIoctlData*>(g_object_ref(data)), data->client_addr,
          head.type == USBDEVFS_URB_TYPE_ISO};

  std::unique_lock lock(mutex_);
  Client& owner = clients_[client];
  int refused = 0;
  if (gone_) {
    refused = ENODEV;
  } else if (head.type == USBDEVFS_URB_TYPE_CONTROL) {
    if (head.buffer_length < 8) refused = EINVAL;
  } else if (head.type != USBDEVFS_URB_TYPE_ISO || head.endpoint != kSimVideoEndpoint ||
             device_->PacketSize() == 0) {
    refused = EINVAL;  // no such endpoint at the selected setting
  }
  if (refused) {
    lock.unlock();
    g_object_unref(urb.data);
    return umockdev_ioctl_client_complete(client, -1, refused);
  }
  ++stats_.urbs_submitted;
  if (urb.iso) {
    owner.waiting.push_back(urb);
    FillLocked(owner);
  } else {
    RunControlLocked(urb, owner);
  }
  lock.unlock();
  ready_.notify_all();
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedCamera::RunControlLocked(Urb& urb, Client& owner) {
  usbdevfs_urb* u = UrbOf(urb.data);
  auto* setup = static_cast<uint8_t*>(u->buffer);
  ControlTransfer transfer;
  transfer.request_type = setup[0];
  transfer.request = setup[1];
  transfer.value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
  transfer.index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
  transfer.length = static_cast<uint16_t>(std::min<int>(setup[6] | (setup[7] << 8), u->buffer_length - 8));
  transfer.data = setup + 8;
  const ControlResult result = device_->Control(transfer);
  if (result.status == Status::kTimeout) {
    owner.waiting.push_back(urb);  // no answer: libusb's timeout discards it
    return;
  }
  u->status = result.status == Status::kOk ? 0 : -ErrnoFor(result.status);
  u->actual_length = static_cast<int>(result.transferred);
  owner.done.push_back(urb);
}

bool EmulatedCamera::ProduceLocked() {
  if (options_.frames_per_second > 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_frame_) return false;
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / options_.frames_per_second));
    next_frame_ = std::max(next_frame_ + interval, now);
  }
  produced_.clear();
  bool sent = false;
  if (!device_->ProduceInterval(produced_, &sent)) return false;
  stats_.frames += sent;
  for (auto& packet : produced_) packets_.push_back(std::move(packet));
  return true;
}

void EmulatedCamera::FillLocked(Client& owner) {
  while (!owner.waiting.empty() && owner.waiting.front().iso) {
    usbdevfs_urb* u = UrbOf(owner.waiting.front().data);
    const int count = u->number_of_packets;
    while (static_cast<int>(packets_.size()) < count && ProduceLocked()) {
    }
    if (packets_.empty()) return;  // nothing to send yet: the URB waits
    auto* buffer = static_cast<uint8_t*>(u->buffer);
    const uint32_t size = device_->PacketSize();
    int offset = 0;
    int total = 0;
    for (int i = 0; i < count; ++i) {
      usbdevfs_iso_packet_desc& desc = u->iso_frame_desc[i];
      desc.actual_length = 0;
      desc.status = 0;
      const int room = std::min<int>(static_cast<int>(desc.length), u->buffer_length - offset);
      if (!packets_.empty() && room >= 0) {
        const sim::SimPacket& packet = packets_.front();
        const PacketStatus status = SimPacketStatus(packet, size);
        const int n = std::min<int>(static_cast<int>(packet.bytes.size()), room);
        if (n > 0) std::memcpy(buffer + offset, packet.bytes.data(), static_cast<std::size_t>(n));
        desc.actual_length = static_cast<unsigned>(n);
        desc.status = static_cast<unsigned>(-PacketErrno(status));
        if (static_cast<int>(packet.bytes.size()) > room) desc.status = static_cast<unsigned>(-EOVERFLOW);
        total += n;
        packets_.pop_front();
        ++stats_.iso_packets;
      }
      offset += static_cast<int>(desc.length);
    }
    u->actual_length = total;
    u->status = 0;
    owner.done.push_back(owner.waiting.front());
    owner.waiting.pop_front();
  }
}

void EmulatedCamera::Reap(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Urb urb;
  {
    std::unique_lock lock(mutex_);
    Client& owner = clients_[client];
    const auto deadline =
        std::chrono::steady_clock::now() + (owner.waiting.empty() ? kReapWaitIdle : kReapWaitStreaming);
    for (;;) {
      FillLocked(owner);
      if (!owner.done.empty()) break;
      if (ready_.wait_until(lock, deadline) == std::cv_status::timeout) {
        FillLocked(owner);
        break;
      }
    }
    if (owner.done.empty()) {
      const int error = owner.waiting.empty() && gone_ ? ENODEV : EAGAIN;
      lock.unlock();
      return umockdev_ioctl_client_complete(client, -1, error);
    }
    urb = owner.done.front();
    owner.done.pop_front();
    ++stats_.urbs_reaped;
  }
  // The client gets its own URB's address back, and the URB's changes.
  UMockdevIoctlData* slot = Resolve(arg, sizeof(void*));
  if (slot) umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
  g_object_unref(urb.data);
  umockdev_ioctl_client_complete(client, slot ? 0 : -1, slot ? 0 : EFAULT);
}

void EmulatedCamera::Discard(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long address = 0;
  std::memcpy(&address, arg->data, sizeof address);  // the argument is the URB's address
  std::unique_lock lock(mutex_);
  Client& owner = clients_[client];
  const auto it = std::find_if(owner.waiting.begin(), owner.waiting.end(),
                               [address](const Urb& urb) { return urb.client_addr == address; });
  if (it == owner.waiting.end()) {
    lock.unlock();
    return umockdev_ioctl_client_complete(client, -1, EINVAL);  // unknown, or complete already
  }
  usbdevfs_urb* u = UrbOf(it->data);
  u->status = -ENOENT;
  u->actual_length = 0;
  if (it->iso)
    for (int i = 0; i < u->number_of_packets; ++i) u->iso_frame_desc[i].actual_length = 0;
  owner.done.push_back(*it);
  owner.waiting.erase(it);
  ++stats_.urbs_discarded;
  lock.unlock();
  ready_.notify_all();
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedCamera::Unplug() {
  device_->Unplug();
  {
    std::lock_guard lock(mutex_);
    gone_ = true;
    packets_.clear();
    for (auto& [client, owner] : clients_) {
      for (Urb& urb : owner.waiting) {
        usbdevfs_urb* u = UrbOf(urb.data);
        u->status = -ESHUTDOWN;
        u->actual_length = 0;
        if (urb.iso)
          for (int i = 0; i < u->number_of_packets; ++i) {
            u->iso_frame_desc[i].actual_length = 0;
            u->iso_frame_desc[i].status = static_cast<unsigned>(-ESHUTDOWN);
          }
        owner.done.push_back(urb);
      }
      owner.waiting.clear();
    }
  }
  ready_.notify_all();
}

// --- EmulatedUsb --------------------------------------------------------------

EmulatedUsb::EmulatedUsb() : testbed_(umockdev_testbed_new()) {
  if (!testbed_) throw std::runtime_error("cannot create the umockdev test bed");
}

EmulatedUsb::~EmulatedUsb() {
  cameras_.clear();
  g_object_unref(testbed_);
}

std::string EmulatedUsb::Root() const {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  std::string text = root ? root : "";
  g_free(root);
  return text;
}

bool EmulatedUsb::Preloaded() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

EmulatedCamera& EmulatedUsb::AddCamera(std::shared_ptr<SimBus> device, EmulatedCamera::Options options) {
  const unsigned number = added_++;
  if (options.port == 0) options.port = static_cast<uint8_t>(2 + cameras_.size());
  cameras_.push_back(std::unique_ptr<EmulatedCamera>(new EmulatedCamera(testbed_, std::move(device), options, number)));
  return *cameras_.back();
}

void EmulatedUsb::Unplug(EmulatedCamera& camera) {
  if (camera.unplugged_) return;
  camera.unplugged_ = true;
  camera.Unplug();
  umockdev_testbed_uevent(testbed_, camera.SysPath().c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, camera.SysPath().c_str());
}

void EmulatedUsb::Remove(EmulatedCamera& camera) {
  Unplug(camera);
  std::erase_if(cameras_, [&](const auto& owned) { return owned.get() == &camera; });
}

}  // namespace dualcam::host::bus::emulated

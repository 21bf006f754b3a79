// The device provider: lists the cameras present, each with the caps of the
// driver's capture formats, so that `gst-device-monitor-1.0` and
// applications that browse devices find them; a device makes a dualcamsrc
// set to it.
//
// Hard part: listing must not disturb a camera that a pipeline owns, here or
// in another process, so no camera is claimed: the caps are the driver's
// constant format records, the same ones a device announces, and the USB
// bus is only enumerated. The simulated camera is always present; each real
// one is named by its place on the bus (usb:BUS-PORT), which stays the same
// while it is plugged in and tells two cameras of one kind apart.
#include "device_provider.h"

#include <string>

#include "driver/formats.h"
#include "formats.h"
#include "host/bus/libusb_bus.h"

struct _DualcamDevice {
  GstDevice parent;
  gchar* device;  // the dualcamsrc device property
};

G_DEFINE_TYPE(DualcamDevice, dualcam_device, GST_TYPE_DEVICE)

static GstElement* dualcam_device_create_element(GstDevice* device, const gchar* name) {
  GstElement* element = gst_element_factory_make("dualcamsrc", name);
  if (element != nullptr) g_object_set(element, "device", DUALCAM_DEVICE(device)->device, nullptr);
  return element;
}

static gboolean dualcam_device_reconfigure_element(GstDevice* device, GstElement* element) {
  if (g_strcmp0(gst_plugin_feature_get_name(gst_element_get_factory(element)), "dualcamsrc") != 0) return FALSE;
  g_object_set(element, "device", DUALCAM_DEVICE(device)->device, nullptr);
  return TRUE;
}

static void dualcam_device_finalize(GObject* object) {
  g_free(DUALCAM_DEVICE(object)->device);
  G_OBJECT_CLASS(dualcam_device_parent_class)->finalize(object);
}

static void dualcam_device_init(DualcamDevice*) {}

static void dualcam_device_class_init(DualcamDeviceClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = dualcam_device_finalize;
  GST_DEVICE_CLASS(klass)->create_element = dualcam_device_create_element;
  GST_DEVICE_CLASS(klass)->reconfigure_element = dualcam_device_reconfigure_element;
}

static GstDevice* MakeDevice(const gchar* device, const gchar* display_name, const gchar* description,
                             const dualcam::host::bus::UsbCameraInfo* usb = nullptr) {
  GstCaps* caps = dualcam::gst::CapsForRanges(dualcam::driver::CaptureFormats);
  GstStructure* props = gst_structure_new("dualcam-device", "device.api", G_TYPE_STRING, "dualcam", "device.path",
                                          G_TYPE_STRING, device, "device.description", G_TYPE_STRING, description,
                                          nullptr);
  if (usb != nullptr) {
    char vendor[8], product[8];
    g_snprintf(vendor, sizeof vendor, "%04x", usb->vendor_id);
    g_snprintf(product, sizeof product, "%04x", usb->product_id);
    gst_structure_set(props, "device.bus", G_TYPE_STRING, "usb", "device.vendor.id", G_TYPE_STRING, vendor,
                      "device.product.id", G_TYPE_STRING, product, nullptr);
  }
  auto* made = DUALCAM_DEVICE(g_object_new(DUALCAM_TYPE_DEVICE, "display-name", display_name, "caps", caps,
                                           "device-class", "Video/Source", "properties", props, nullptr));
  made->device = g_strdup(device);
  gst_caps_unref(caps);
  gst_structure_free(props);
  return GST_DEVICE(made);
}

struct _DualcamDeviceProvider {
  GstDeviceProvider parent;
};

G_DEFINE_TYPE(DualcamDeviceProvider, dualcam_device_provider, GST_TYPE_DEVICE_PROVIDER)

static GList* dualcam_device_provider_probe(GstDeviceProvider*) {
  GList* devices = nullptr;
  devices = g_list_append(devices, MakeDevice("sim", "Dual-mode camera (simulated)",
                                              "the simulated dual-mode camera behind the driver"));
  std::string error;  // no USB access (no libusb, no permission): the simulated camera alone
  for (const auto& camera : dualcam::host::bus::LibusbBus::List(/*cameras_only=*/true, &error)) {
    const std::string device = "usb:" + camera.Place();
    const std::string display = (camera.product.empty() ? std::string("Dual-mode camera") : camera.product) + " (" +
                                device + ")";
    const std::string description = "a dual-mode camera on the USB bus, " + camera.Ids() + " at " + device;
    devices = g_list_append(devices, MakeDevice(device.c_str(), display.c_str(), description.c_str(), &camera));
  }
  return devices;
}

static void dualcam_device_provider_init(DualcamDeviceProvider*) {}

static void dualcam_device_provider_class_init(DualcamDeviceProviderClass* klass) {
  GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
  provider_class->probe = dualcam_device_provider_probe;
  gst_device_provider_class_set_static_metadata(provider_class, "Dual-mode camera provider", "Source/Video",
                                                "Lists the dual-mode cameras the driver can reach", "dualcam");
}

// Symbolic links and device interfaces of the host kernel, as tables.
//
// Hard part: the link name that interface registration hands back is a
// pool allocation owned by the caller (freed with RtlFreeUnicodeString), so
// a driver that forgets it shows up in the pool accounting; registering the
// same interface twice gives the same name, as on the platform.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

namespace dualcam::host {

struct DeviceInterface {
    std::string LinkName;
    GUID ClassGuid{};
    bool Enabled = false;
};

class ObjectNames {
public:
    NTSTATUS CreateLink(std::string_view link, std::string_view target);
    NTSTATUS DeleteLink(std::string_view link);
    // Target of a link, or empty if there is none.
    std::string LinkTarget(std::string_view link) const;
    std::size_t LinkCount() const;

    // The interface's link name for this device, class and reference.
    std::string RegisterInterface(const void* device, const GUID& classGuid, std::string_view reference);
    NTSTATUS SetInterfaceState(std::string_view link, bool enable);
    bool InterfaceEnabled(std::string_view link) const;
    std::vector<DeviceInterface> Interfaces() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<std::string, std::string>> links_;  // folded -> (name, target)
    std::map<std::string, DeviceInterface> interfaces_;                 // folded link -> interface
    std::map<const void*, unsigned> deviceNumbers_;
};

}  // namespace dualcam::host

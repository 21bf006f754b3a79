// Link and interface tables of the host kernel.
//
// Hard part: names compare case-insensitively, so every table is keyed by
// the folded name while the name as first given is what callers see.
#include "host/kernel/object_names.h"

#include <cstdio>

#include "host/kernel/wide.h"

namespace dualcam::host {

NTSTATUS ObjectNames::CreateLink(std::string_view link, std::string_view target)
{
    if (link.empty() || link.front() != '\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(mutex_);
    const auto [it, inserted] = links_.try_emplace(FoldCase(link), std::string(link), std::string(target));
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS ObjectNames::DeleteLink(std::string_view link)
{
    std::lock_guard lock(mutex_);
    return links_.erase(FoldCase(link)) > 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::string ObjectNames::LinkTarget(std::string_view link) const
{
    std::lock_guard lock(mutex_);
    auto it = links_.find(FoldCase(link));
    return it == links_.end() ? std::string{} : it->second.second;
}

std::size_t ObjectNames::LinkCount() const
{
    std::lock_guard lock(mutex_);
    return links_.size();
}

std::string ObjectNames::RegisterInterface(const void* device, const GUID& classGuid, std::string_view reference)
{
    std::lock_guard lock(mutex_);
    const unsigned number = deviceNumbers_.try_emplace(device, static_cast<unsigned>(deviceNumbers_.size())).first->second;
    char text[96];
    std::snprintf(text, sizeof text, "\\??\\HOST#DUALCAM#%04u#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", number,
                  classGuid.Data1, classGuid.Data2, classGuid.Data3, classGuid.Data4[0], classGuid.Data4[1],
                  classGuid.Data4[2], classGuid.Data4[3], classGuid.Data4[4], classGuid.Data4[5],
                  classGuid.Data4[6], classGuid.Data4[7]);
    std::string link = text;
    if (!reference.empty()) {
        link += '\\';
        link += reference;
    }
    auto& entry = interfaces_[FoldCase(link)];
    if (entry.LinkName.empty()) {
        entry.LinkName = link;
        entry.ClassGuid = classGuid;
    }
    return entry.LinkName;
}

NTSTATUS ObjectNames::SetInterfaceState(std::string_view link, bool enable)
{
    std::lock_guard lock(mutex_);
    auto it = interfaces_.find(FoldCase(link));
    if (it == interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    it->second.Enabled = enable;
    return STATUS_SUCCESS;
}

bool ObjectNames::InterfaceEnabled(std::string_view link) const
{
    std::lock_guard lock(mutex_);
    auto it = interfaces_.find(FoldCase(link));
    return it != interfaces_.end() && it->second.Enabled;
}

std::vector<DeviceInterface> ObjectNames::Interfaces() const
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> out;
    for (const auto& [key, entry] : interfaces_) out.push_back(entry);
    return out;
}

}  // namespace dualcam::host

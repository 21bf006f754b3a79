// The host kernel object, its handle table and the current-kernel pointer.
//
// Hard part: the worker threads read the current-kernel pointer while a test
// thread swaps it, so it is an atomic; the work queue is built last and
// destroyed first so no worker runs against a half-destroyed kernel.
#include "host/kernel/host_kernel.h"

#include <stdexcept>
#include <system_error>

namespace dualcam::host {
namespace {

std::atomic<HostKernel*> g_current{nullptr};

std::filesystem::path MakePrivateFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "dualcam-host-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a private file root");
    return pattern;
}

}  // namespace

HostKernel::HostKernel(HostOptions options)
    : options_(std::move(options)),
      clock_(options_.Deterministic, options_.CounterStep)
{
    registry_ = std::make_unique<dualcam::host::Registry>(options_.RegistryFile);
    if (options_.FileRoot.empty()) {
        fileRoot_ = MakePrivateFolder();
        ownsFileRoot_ = true;
    } else {
        fileRoot_ = options_.FileRoot;
    }
    std::error_code ec;
    std::filesystem::create_directories(fileRoot_ / "SystemRoot", ec);
    std::filesystem::create_directories(fileRoot_ / "C", ec);
    if (ec) throw std::runtime_error("cannot set up file root " + fileRoot_.string() + ": " + ec.message());
    files_.Map("\\SystemRoot", fileRoot_ / "SystemRoot");
    files_.Map("\\??\\C:", fileRoot_ / "C");
    workQueue_ = std::make_unique<dualcam::host::WorkQueue>(options_.Deterministic ? 0 : options_.WorkerThreads);
}

HostKernel::~HostKernel()
{
    workQueue_.reset();
    HostKernel* self = this;
    g_current.compare_exchange_strong(self, nullptr);
    {
        std::lock_guard lock(handleMutex_);
        for (auto& [value, handle] : handles_) {
            if (auto* file = std::get_if<FileHandle>(&handle)) files_.Close(file->Descriptor);
        }
        handles_.clear();
    }
    if (ownsFileRoot_) {
        std::error_code ec;
        std::filesystem::remove_all(fileRoot_, ec);
    }
}

HANDLE HostKernel::OpenKeyHandle(std::string path)
{
    std::lock_guard lock(handleMutex_);
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, KeyHandle{std::move(path)});
    return reinterpret_cast<HANDLE>(value);
}

HANDLE HostKernel::OpenFileHandle(int descriptor)
{
    std::lock_guard lock(handleMutex_);
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, FileHandle{descriptor});
    return reinterpret_cast<HANDLE>(value);
}

std::optional<std::string> HostKernel::KeyOf(HANDLE handle) const
{
    std::lock_guard lock(handleMutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return std::nullopt;
    if (const auto* key = std::get_if<KeyHandle>(&it->second)) return key->Path;
    return std::nullopt;
}

std::optional<int> HostKernel::FileOf(HANDLE handle) const
{
    std::lock_guard lock(handleMutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return std::nullopt;
    if (const auto* file = std::get_if<FileHandle>(&it->second)) return file->Descriptor;
    return std::nullopt;
}

NTSTATUS HostKernel::CloseHandle(HANDLE handle)
{
    std::lock_guard lock(handleMutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    if (const auto* file = std::get_if<FileHandle>(&it->second)) files_.Close(file->Descriptor);
    handles_.erase(it);
    return STATUS_SUCCESS;
}

std::size_t HostKernel::OpenHandles() const
{
    std::lock_guard lock(handleMutex_);
    return handles_.size();
}

HostKernel* CurrentKernel() { return g_current.load(std::memory_order_acquire); }

ScopedKernel::ScopedKernel(HostKernel& kernel) : previous_(g_current.exchange(&kernel, std::memory_order_acq_rel)) {}

ScopedKernel::~ScopedKernel() { g_current.store(previous_, std::memory_order_release); }

NTSTATUS InstallSettingsKey(dualcam::host::Registry& registry) { return registry.CreateKey(kSettingsKeyPath); }

NTSTATUS InstallVfwKey(dualcam::host::Registry& registry) { return registry.CreateKey(kVfwKeyPath); }

}  // namespace dualcam::host

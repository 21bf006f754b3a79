// The host kernel: one object holding every kernel service the driver calls
// (registry, pool, clock, delayed work queue, files, object names, handles),
// reached by the platform functions through the current-kernel pointer that
// ScopedKernel installs.
//
// Hard part: tests need an isolated, repeatable world each (in-memory
// registry, virtual clock, stepped work queue, private file folder), while
// tools need the real one (registry file shared with other processes, real
// time, worker threads). Options pick one or the other; the platform
// functions cannot tell them apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "host/kernel/clock.h"
#include "host/kernel/files.h"
#include "host/kernel/object_names.h"
#include "host/kernel/pool.h"
#include "host/kernel/registry.h"
#include "host/kernel/work_queue.h"
#include "platform/kernel.h"

namespace dualcam::host {

struct HostOptions {
    // Deterministic: virtual clock, stepped work queue. Real: machine clock,
    // worker threads.
    bool Deterministic = true;
    // Empty: a private in-memory registry.
    std::filesystem::path RegistryFile;
    // Folder that "\SystemRoot" and "\??\C:" map to (subfolders "SystemRoot"
    // and "C" are created). Empty: a private temporary folder, removed with
    // the kernel.
    std::filesystem::path FileRoot;
    // Worker threads of the delayed work queue in real mode.
    unsigned WorkerThreads = 1;
    // Virtual clock: 100 ns units each performance-counter read moves on.
    LONGLONG CounterStep = 100;

    static HostOptions ForTests() { return HostOptions{}; }
    static HostOptions ForRealRun(std::filesystem::path registryFile, std::filesystem::path fileRoot)
    {
        HostOptions options;
        options.Deterministic = false;
        options.RegistryFile = std::move(registryFile);
        options.FileRoot = std::move(fileRoot);
        return options;
    }
};

class HostKernel {
public:
    // Throws std::runtime_error if the registry or the file root cannot be set up.
    explicit HostKernel(HostOptions options = HostOptions::ForTests());
    ~HostKernel();
    HostKernel(const HostKernel&) = delete;
    HostKernel& operator=(const HostKernel&) = delete;

    const HostOptions& options() const { return options_; }
    dualcam::host::Registry& registry() { return *registry_; }
    dualcam::host::Pool& pool() { return pool_; }
    dualcam::host::Clock& clock() { return clock_; }
    FileSystem& files() { return files_; }
    ObjectNames& names() { return names_; }
    dualcam::host::WorkQueue& workQueue() { return *workQueue_; }
    const std::filesystem::path& fileRoot() const { return fileRoot_; }

    // Handles of open keys and files; values are never reused.
    HANDLE OpenKeyHandle(std::string path);
    HANDLE OpenFileHandle(int descriptor);
    // The key path or descriptor behind a handle, if it is one of that kind.
    std::optional<std::string> KeyOf(HANDLE handle) const;
    std::optional<int> FileOf(HANDLE handle) const;
    NTSTATUS CloseHandle(HANDLE handle);
    std::size_t OpenHandles() const;

    // Calls that arrive with no kernel installed, or break the platform's
    // contract (null arguments the platform would fault on) are counted here.
    void NoteMisuse() { misuse_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t Misuse() const { return misuse_.load(std::memory_order_relaxed); }

private:
    struct KeyHandle {
        std::string Path;
    };
    struct FileHandle {
        int Descriptor;
    };

    HostOptions options_;
    std::filesystem::path fileRoot_;
    bool ownsFileRoot_ = false;
    std::unique_ptr<dualcam::host::Registry> registry_;
    dualcam::host::Pool pool_;
    dualcam::host::Clock clock_;
    FileSystem files_;
    ObjectNames names_;
    mutable std::mutex handleMutex_;
    std::map<std::uintptr_t, std::variant<KeyHandle, FileHandle>> handles_;
    std::uintptr_t nextHandle_ = 0x104;
    std::atomic<std::uint64_t> misuse_{0};
    // Last, so that it stops first: its workers may still call into the rest.
    std::unique_ptr<dualcam::host::WorkQueue> workQueue_;
};

// The kernel the platform functions use, or null.
HostKernel* CurrentKernel();

// Installs a kernel as the current one for its lifetime, restoring the
// previous one after. One world at a time per process.
class ScopedKernel {
public:
    explicit ScopedKernel(HostKernel& kernel);
    ~ScopedKernel();
    ScopedKernel(const ScopedKernel&) = delete;
    ScopedKernel& operator=(const ScopedKernel&) = delete;

private:
    HostKernel* previous_;
};

// The install step: creates the driver's settings key (and its parents).
NTSTATUS InstallSettingsKey(Registry& registry);
// Creates the system key that the VfW-key property set opens.
NTSTATUS InstallVfwKey(Registry& registry);

}  // namespace dualcam::host

#pragma once

#include <QLockFile>
#include <chrono>
#include <filesystem>
#include <memory>

namespace varnel {

// One tray application per user: a second one would run a second agent with the same credential
// and print every pushed label twice. The lock is a file that the system frees when its owner
// dies, so a crashed instance never blocks the next.
class SingleInstance {
public:
    explicit SingleInstance(const std::filesystem::path& lockFile);
    // $XDG_RUNTIME_DIR/varnel-menubar.lock, else one in the temporary folder named after the user.
    static std::filesystem::path defaultLockFile();

    // True once this process holds the lock; waits up to `wait` for an earlier instance to let go
    // (a relaunch after an update overlaps the old instance's quit).
    bool acquire(std::chrono::milliseconds wait);
    void release();
    std::filesystem::path lockFile() const;

private:
    std::unique_ptr<QLockFile> lock_;
};

} // namespace varnel

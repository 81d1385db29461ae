#include "VarnelMenuBar/SingleInstance.hpp"

#include "VarnelKit/Support/NumberText.hpp"

#include <cstdlib>
#include <unistd.h>

namespace varnel {

SingleInstance::SingleInstance(const std::filesystem::path& lockFile)
    : lock_(std::make_unique<QLockFile>(QString::fromStdString(lockFile.string()))) {
    // Only a dead owner makes a lock stale, however old it is: the tray runs all day.
    lock_->setStaleLockTime(0);
}

std::filesystem::path SingleInstance::defaultLockFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::filesystem::path(runtime) / "varnel-menubar.lock";
    return std::filesystem::temp_directory_path() /
           ("varnel-menubar-" + NumberText::integer(static_cast<std::int64_t>(::getuid())) + ".lock");
}

bool SingleInstance::acquire(std::chrono::milliseconds wait) {
    return lock_->tryLock(static_cast<int>(wait.count()));
}

void SingleInstance::release() {
    lock_->unlock();
}

std::filesystem::path SingleInstance::lockFile() const {
    return lock_->fileName().toStdString();
}

} // namespace varnel

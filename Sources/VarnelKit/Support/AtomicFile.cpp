#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

namespace varnel::AtomicFile {

namespace {

// What every temporary file of `path` is named with, before its unique part.
std::string temporaryPrefix(const std::filesystem::path& path) {
    return "." + path.filename().string() + ".tmp-";
}

// Opens a new, uniquely named file next to `path`. Returns the descriptor or -errno.
int createTemporary(const std::filesystem::path& path, std::string& tempPath, mode_t mode) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = (path.parent_path() / (temporaryPrefix(path) + std::to_string(random()))).string();
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : -errno;
    }
    return -EEXIST;
}

} // namespace

int write(const std::filesystem::path& path, std::string_view data, std::optional<mode_t> exactMode) {
    std::string tempPath;
    // Created with the tight mode from the start, so a secret is never readable by others, not even
    // for a moment; fchmod then makes it exact whatever the umask.
    const int fd = createTemporary(path, tempPath, exactMode.value_or(0666));
    if (fd < 0) return -fd;

    int status = 0;
    if (exactMode && ::fchmod(fd, *exactMode) != 0) status = errno;
    if (status == 0) status = writeAll(fd, data);
    if (status == 0 && ::fsync(fd) != 0) status = errno;
    if (::close(fd) != 0 && status == 0) status = errno;
    if (status == 0 && ::rename(tempPath.c_str(), path.c_str()) != 0) status = errno;
    if (status != 0) {
        ::unlink(tempPath.c_str());
        return status;
    }
    // Make the rename itself durable; a failure here changes nothing a reader can see.
    if (const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

void removeLeftovers(const std::filesystem::path& path) noexcept {
    try {
        const std::string prefix = temporaryPrefix(path);
        std::error_code error;
        for (std::filesystem::directory_iterator entry(path.parent_path(), error), end; !error && entry != end;
             entry.increment(error)) {
            if (entry->path().filename().string().starts_with(prefix))
                ::unlink(entry->path().c_str());
        }
    } catch (...) {
        // Out of memory for a name: what is left stays for the next time.
    }
}

} // namespace varnel::AtomicFile

#include "VarnelKit/Support/AtomicFile.hpp"

#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

namespace varnel::AtomicFile {

namespace {

// What every temporary file of `name` is named with, before its unique part.
std::string temporaryPrefix(const std::string& name) {
    return "." + name + ".tmp-";
}

// Opens a new, uniquely named file next to `name`. Returns the descriptor or -errno.
int createTemporary(int folder, const std::string& name, std::string& temporary, mode_t mode) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryPrefix(name) + std::to_string(random());
        const int fd =
            ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : -errno;
    }
    return -EEXIST;
}

} // namespace

int write(int folder, const std::string& name, std::string_view data, std::optional<mode_t> exactMode) {
    std::string temporary;
    // Created with the tight mode from the start, so a secret is never readable by others, not even
    // for a moment; fchmod then makes it exact whatever the umask.
    const int fd = createTemporary(folder, name, temporary, exactMode.value_or(0666));
    if (fd < 0) return -fd;

    int status = 0;
    if (exactMode && ::fchmod(fd, *exactMode) != 0) status = errno;
    if (status == 0) status = writeAll(fd, data);
    if (status == 0 && ::fsync(fd) != 0) status = errno;
    if (::close(fd) != 0 && status == 0) status = errno;
    if (status == 0 && ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) status = errno;
    if (status != 0) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return status;
    }
    // Make the rename itself durable; a failure here changes nothing a reader can see.
    ::fsync(folder);
    return 0;
}

int removeLeftovers(int folder, const std::string& name) noexcept {
    try {
        const std::string prefix = temporaryPrefix(name);
        // The listing gets a descriptor of its own, which closedir closes.
        DIR* listing = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!listing) return errno;
        std::vector<std::string> found;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string entryName = entry->d_name;
            if (entryName.starts_with(prefix)) found.push_back(entryName);
        }
        ::closedir(listing);
        int status = 0;
        for (const auto& leftover : found) {
            if (const int removed = OwnedFolder::removeIn(folder, leftover); removed != 0 && status == 0)
                status = removed;
        }
        return status;
    } catch (...) {
        // Out of memory for a name: what is left stays for the next time.
        return ENOMEM;
    }
}

} // namespace varnel::AtomicFile

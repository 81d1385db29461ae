#include "VarnelKit/Platform/PathWatch.hpp"

#include <array>
#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace varnel {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t itself = IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
constexpr std::uint32_t entries = itself | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

} // namespace

PathWatch::PathWatch(fs::path file, std::size_t entryLevels)
    : file_(file.lexically_normal()), entryLevels_(entryLevels) {
    arm();
}

void PathWatch::arm() {
    names_.clear();
    watch_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch_.isOpen()) {
        error_ = errno;
        return;
    }
    // The folders from the root down to the file's, each with the name the path takes in it.
    std::vector<std::pair<fs::path, std::string>> folders;
    fs::path folder = file_.root_path();
    for (const auto& name : file_.relative_path()) {
        folders.emplace_back(folder, name.string());
        folder /= name;
    }
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const bool entryLevel = folders.size() - i <= entryLevels_;
        const int watch = ::inotify_add_watch(watch_.get(), folders[i].first.c_str(), entryLevel ? entries : itself);
        if (watch < 0) {
            // A folder that is not there: what is made in its place shows in the one above, which
            // is watched for that name now, whatever its level.
            if (errno == ENOENT || errno == ENOTDIR) {
                if (i > 0 && !entryLevel) {
                    const int above = ::inotify_add_watch(watch_.get(), folders[i - 1].first.c_str(), entries);
                    if (above >= 0)
                        names_[above] = folders[i - 1].second;
                }
                break;
            }
            // A folder closed to this user is skipped; those below it still tell.
            if (errno == EACCES)
                continue;
            // A limit reached: no watch that misses part of the path passes for one.
            error_ = errno;
            watch_.reset();
            names_.clear();
            return;
        }
        names_[watch] = entryLevel ? folders[i].second : std::string();
    }
}

bool PathWatch::changed() {
    if (!watch_.isOpen())
        return false;
    bool relevant = false;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(watch_.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT)) {
                relevant = true;
                continue;
            }
            const auto found = names_.find(event->wd);
            if (event->len > 0 && found != names_.end() && !found->second.empty() &&
                found->second == std::string(event->name))
                relevant = true;
        }
    }
    if (relevant)
        arm();
    return relevant;
}

} // namespace varnel

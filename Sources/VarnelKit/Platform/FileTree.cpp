#include "VarnelKit/Platform/FileTree.hpp"

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace varnel::FileTree {

namespace fs = std::filesystem;

namespace {

constexpr fs::perms ownerAll = fs::perms::owner_all;

void makeOwnerAccessible(const fs::path& folder, fs::perms current) {
    if ((current & ownerAll) != ownerAll)
        fs::permissions(folder, ownerAll, fs::perm_options::add);
}

void removeEntry(const fs::path& path, const fs::file_status& status) {
    if (status.type() == fs::file_type::directory) {
        makeOwnerAccessible(path, status.permissions());
        // Collected first: removing while iterating would leave the iterator's position undefined.
        std::vector<fs::directory_entry> children;
        for (const auto& child : fs::directory_iterator(path))
            children.push_back(child);
        for (const auto& child : children)
            removeEntry(child.path(), child.symlink_status());
    }
    fs::remove(path);
}

std::error_code lastError() {
    return std::error_code(errno, std::generic_category());
}

// std::filesystem::copy_file reports a disk that fills up during the copy as an input/output
// error; this copy reports what the failing call said, which for a full disk is ENOSPC.
void copyFile(const fs::path& from, const fs::path& to) {
    Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in.isOpen())
        throw fs::filesystem_error("cannot copy file", from, to, lastError());
    struct stat info {};
    if (::fstat(in.get(), &info) != 0)
        throw fs::filesystem_error("cannot copy file", from, to, lastError());
    Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out.isOpen())
        throw fs::filesystem_error("cannot copy file", from, to, lastError());
    std::vector<char> buffer(128 * 1024);
    for (;;) {
        const ssize_t count = ::read(in.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw fs::filesystem_error("cannot copy file", from, to, lastError());
        if (count == 0)
            break;
        if (const int error =
                writeAll(out.get(), std::string_view(buffer.data(), static_cast<std::size_t>(count)));
            error != 0) {
            throw fs::filesystem_error("cannot copy file", from, to,
                                       std::error_code(error, std::generic_category()));
        }
    }
    // Exactly the source's bits: the mode given to open() passes through the umask.
    if (::fchmod(out.get(), info.st_mode & 07777) != 0)
        throw fs::filesystem_error("cannot copy file", from, to, lastError());
    if (const std::error_code error = out.close())
        throw fs::filesystem_error("cannot copy file", from, to, error);
}

void copyEntry(const fs::path& from, const fs::path& to) {
    const fs::file_status status = fs::symlink_status(from);
    switch (status.type()) {
    case fs::file_type::symlink:
        fs::copy_symlink(from, to);
        return;
    case fs::file_type::regular:
        copyFile(from, to);
        return;
    case fs::file_type::directory:
        if (!fs::create_directory(to)) {
            throw fs::filesystem_error("cannot copy into an existing folder", to,
                                       std::make_error_code(std::errc::file_exists));
        }
        // Writable while it is filled, whatever the source's mode; the source's mode at the end.
        fs::permissions(to, ownerAll, fs::perm_options::add);
        for (const auto& child : fs::directory_iterator(from))
            copyEntry(child.path(), to / child.path().filename());
        fs::permissions(to, status.permissions(), fs::perm_options::replace);
        return;
    default:
        throw fs::filesystem_error("only files, folders and links can be copied", from,
                                   std::make_error_code(std::errc::operation_not_supported));
    }
}

int systemExchange(const char* first, const char* second) {
    return ::renameat2(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE);
}

std::atomic<ExchangeCall> exchangeCall{&systemExchange};

int systemFlush(int descriptor) {
    return ::fsync(descriptor);
}

std::atomic<FlushCall> flushCall{&systemFlush};

void flushEntry(const fs::path& path, bool isFolder) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (isFolder ? O_DIRECTORY : 0));
    // A file its owner may write but not read can still be flushed through a writing descriptor.
    if (descriptor < 0 && errno == EACCES && !isFolder)
        descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    Descriptor entry(descriptor);
    if (!entry.isOpen())
        throw fs::filesystem_error("cannot flush", path, lastError());
    if (flushCall.load()(entry.get()) != 0)
        throw fs::filesystem_error("cannot flush", path, lastError());
}

void flushEntries(const fs::path& path, const fs::file_status& status) {
    switch (status.type()) {
    case fs::file_type::directory:
        for (const auto& child : fs::directory_iterator(path))
            flushEntries(child.path(), child.symlink_status());
        flushEntry(path, true);
        return;
    case fs::file_type::regular:
        flushEntry(path, false);
        return;
    default:
        // A link lives in its folder's entries, which the folder's flush writes.
        return;
    }
}

bool isExchangeRefused(const std::error_code& error) {
    return error == std::errc::invalid_argument || error == std::errc::function_not_supported ||
           error == std::errc::not_supported;
}

} // namespace

void removeAll(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (status.type() == fs::file_type::not_found)
        return;
    if (error)
        throw fs::filesystem_error("cannot remove", path, error);
    removeEntry(path, status);
}

void copy(const fs::path& from, const fs::path& to) {
    if (fs::exists(fs::symlink_status(to))) {
        throw fs::filesystem_error("cannot copy over an existing entry", to,
                                   std::make_error_code(std::errc::file_exists));
    }
    copyEntry(from, to);
}

void exchange(const fs::path& first, const fs::path& second) {
    if (exchangeCall.load()(first.c_str(), second.c_str()) != 0) {
        throw fs::filesystem_error("cannot exchange", first, second,
                                   std::error_code(errno, std::generic_category()));
    }
}

void flush(const fs::path& tree) {
    flushEntries(tree, fs::symlink_status(tree));
}

void flushFolder(const fs::path& folder) {
    flushEntry(folder, true);
}

fs::path replace(const fs::path& replacement, const fs::path& target, const fs::path& aside,
                 const std::function<void()>& betweenMoves) {
    try {
        exchange(replacement, target);
        return replacement;
    } catch (const fs::filesystem_error& error) {
        if (!isExchangeRefused(error.code()))
            throw;
    }
    // rename() would quietly replace an empty folder at `aside`; nothing of the caller's may go.
    if (fs::exists(fs::symlink_status(aside))) {
        throw fs::filesystem_error("cannot move aside", target, aside,
                                   std::make_error_code(std::errc::file_exists));
    }
    fs::rename(target, aside);
    // The old entry goes back; should that fail too, the error says where it is.
    const auto putBack = [&](std::error_code moveIn) {
        std::error_code stillAside;
        fs::rename(aside, target, stillAside);
        if (stillAside)
            throw LeftAside("cannot move in", target, aside, moveIn ? moveIn : stillAside);
    };
    try {
        if (betweenMoves)
            betweenMoves();
        fs::rename(replacement, target);
    } catch (const fs::filesystem_error& error) {
        putBack(error.code());
        throw;
    } catch (...) {
        putBack({});
        throw;
    }
    return aside;
}

ExchangeCall setExchangeCall(ExchangeCall call) {
    return exchangeCall.exchange(call);
}

FlushCall setFlushCall(FlushCall call) {
    return flushCall.exchange(call);
}

} // namespace varnel::FileTree

#include "VarnelKit/Platform/FileTree.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <system_error>
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

void copyEntry(const fs::path& from, const fs::path& to) {
    const fs::file_status status = fs::symlink_status(from);
    switch (status.type()) {
    case fs::file_type::symlink:
        fs::copy_symlink(from, to);
        return;
    case fs::file_type::regular:
        fs::copy_file(from, to, fs::copy_options::none);
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

fs::path replace(const fs::path& replacement, const fs::path& target, const fs::path& aside) {
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
    try {
        fs::rename(replacement, target);
    } catch (const fs::filesystem_error&) {
        std::error_code ignored;
        fs::rename(aside, target, ignored);
        throw;
    }
    return aside;
}

ExchangeCall setExchangeCall(ExchangeCall call) {
    return exchangeCall.exchange(call);
}

} // namespace varnel::FileTree

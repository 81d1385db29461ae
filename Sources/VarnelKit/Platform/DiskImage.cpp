#include "VarnelKit/Platform/DiskImage.hpp"

#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <memory>
#include <system_error>
#include <vector>

namespace varnel {

namespace fs = std::filesystem;

namespace {

struct ReaderDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterDeleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;
using Writer = std::unique_ptr<archive, WriterDeleter>;

std::string inQuotes(std::string_view text) {
    return "\"" + Text::makeValidUtf8(text) + "\"";
}

std::string libraryError(archive* a, const char* fallback) {
    const char* text = archive_error_string(a);
    std::string message = Text::trimWhitespace(Text::makeValidUtf8(text ? text : ""));
    return message.empty() ? fallback : message;
}

// The components of a path inside the image, "." and empty ones left out.
std::vector<std::string_view> componentsOf(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// Rock Ridge keeps set-user-id and set-group-id bits; an update must not bring them in.
constexpr mode_t keptPermissions = 0777;

// The writer's own checks on top of ours: no "..", and nothing written through a link that an
// earlier entry made. Its check against absolute paths cannot be used, since every entry is aimed
// at the mount point by its absolute path; refusal() has already turned away absolute names.
constexpr int extractFlags = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                             ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_NO_OVERWRITE;

void emptyFolder(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        try {
            FileTree::removeAll(it->path());
        } catch (const fs::filesystem_error&) {
            // Best effort: the caller reports the failure that brought us here.
        }
    }
}

void copyData(archive* reader, archive* writer) {
    for (;;) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            return;
        if (status < ARCHIVE_WARN)
            throw DiskImage::Failure(libraryError(reader, "The disk image could not be read."));
        if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
            throw DiskImage::Failure(libraryError(writer, "A file could not be unpacked."));
        }
    }
}

void unpack(archive* reader, const fs::path& root) {
    Writer writer(archive_write_disk_new());
    if (!writer)
        throw std::bad_alloc();
    archive_write_disk_set_options(writer.get(), extractFlags);
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            throw DiskImage::Failure(libraryError(reader, "The disk image could not be read."));

        const char* rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        if (componentsOf(name).empty() && !name.starts_with('/'))
            continue; // the volume root itself

        const char* hardlink = archive_entry_hardlink(entry);
        const mode_t type = archive_entry_filetype(entry);
        std::optional<std::string_view> linkTarget;
        if (hardlink) {
            if (auto reason = DiskImage::refusal(hardlink, std::nullopt))
                throw DiskImage::Failure(*reason);
        } else if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            linkTarget = target ? std::string_view(target) : std::string_view();
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            throw DiskImage::Failure(inQuotes(name) + " is neither a file, a folder nor a link.");
        }
        if (auto reason = DiskImage::refusal(name, linkTarget))
            throw DiskImage::Failure(*reason);

        const std::string destination = (root / name).string();
        archive_entry_set_pathname(entry, destination.c_str());
        std::string hardlinkDestination;
        if (hardlink) {
            hardlinkDestination = (root / hardlink).string();
            archive_entry_set_hardlink(entry, hardlinkDestination.c_str());
        }
        if (type != AE_IFLNK)
            archive_entry_set_perm(entry, archive_entry_perm(entry) & keptPermissions);

        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) {
            throw DiskImage::Failure(libraryError(writer.get(), "A file could not be unpacked."));
        }
        copyData(reader, writer.get());
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
            throw DiskImage::Failure(libraryError(writer.get(), "A file could not be unpacked."));
        }
    }
    // Folder modes are applied here, after everything inside them was written.
    if (archive_write_close(writer.get()) < ARCHIVE_WARN) {
        throw DiskImage::Failure(libraryError(writer.get(), "A file could not be unpacked."));
    }
}

} // namespace

std::optional<std::string> DiskImage::refusal(std::string_view path,
                                              std::optional<std::string_view> linkTarget) {
    if (path.starts_with('/'))
        return inQuotes(path) + " is an absolute path.";
    const auto parts = componentsOf(path);
    for (const auto part : parts) {
        if (part == "..")
            return inQuotes(path) + " leads outside the disk image.";
    }
    if (!linkTarget)
        return std::nullopt;

    const std::string outside = "The link " + inQuotes(path) + " points outside the disk image.";
    if (linkTarget->empty() || linkTarget->starts_with('/'))
        return outside;
    // ".." may only come first: it then climbs real folders, which the entry's own path names.
    // After a name it would climb from wherever that name leads, which may itself be a link.
    std::size_t climbs = 0;
    bool seenName = false;
    for (const auto part : componentsOf(*linkTarget)) {
        if (part != "..") {
            seenName = true;
        } else if (seenName) {
            return outside;
        } else {
            ++climbs;
        }
    }
    const std::size_t depth = parts.empty() ? 0 : parts.size() - 1;
    if (climbs > depth)
        return outside;
    return std::nullopt;
}

void DiskImage::attach(const fs::path& image, const fs::path& mountPoint) {
    Reader reader(archive_read_new());
    if (!reader)
        throw std::bad_alloc();
    archive_read_support_format_iso9660(reader.get());
    if (archive_read_open_filename(reader.get(), image.c_str(), 64 * 1024) != ARCHIVE_OK) {
        throw Failure(libraryError(reader.get(), "The disk image could not be read."));
    }
    // Without links in its own path: the writer refuses to write through any link it meets.
    const fs::path root = fs::canonical(mountPoint);
    try {
        unpack(reader.get(), root);
    } catch (...) {
        emptyFolder(root);
        throw;
    }
}

void DiskImage::detach(const fs::path& mountPoint) {
    FileTree::removeAll(mountPoint);
}

} // namespace varnel

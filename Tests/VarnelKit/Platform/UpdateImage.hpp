#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace varnel::testing {

// One entry of an update image made at test time.
struct ImageEntry {
    enum class Kind { file, folder, link, fifo };
    std::string path;
    Kind kind = Kind::file;
    mode_t mode = 0644;
    std::string content; // a file's bytes, a link's target
};

inline ImageEntry file(std::string path, mode_t mode, std::string content) {
    return {std::move(path), ImageEntry::Kind::file, mode, std::move(content)};
}
inline ImageEntry folder(std::string path, mode_t mode = 0755) {
    return {std::move(path), ImageEntry::Kind::folder, mode, ""};
}
inline ImageEntry link(std::string path, std::string target) {
    return {std::move(path), ImageEntry::Kind::link, 0777, std::move(target)};
}

// An ISO 9660 image with Rock Ridge, the modes kept exactly as given, written by libarchive.
inline void writeImage(const std::filesystem::path& image, const std::vector<ImageEntry>& entries) {
    archive* writer = archive_write_new();
    archive_write_set_format_iso9660(writer);
    if (archive_write_set_options(writer, "rockridge=strict,volume-id=Varnel") != ARCHIVE_OK ||
        archive_write_open_filename(writer, image.c_str()) != ARCHIVE_OK) {
        const std::string message = archive_error_string(writer);
        archive_write_free(writer);
        throw std::runtime_error("cannot write the test image: " + message);
    }
    for (const auto& item : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.path.c_str());
        switch (item.kind) {
        case ImageEntry::Kind::file:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(item.content.size()));
            break;
        case ImageEntry::Kind::folder:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case ImageEntry::Kind::link:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, item.content.c_str());
            break;
        case ImageEntry::Kind::fifo:
            archive_entry_set_filetype(entry, AE_IFIFO);
            break;
        }
        archive_entry_set_perm(entry, item.mode);
        archive_entry_set_mtime(entry, 1700000000, 0);
        if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
            const std::string message = archive_error_string(writer);
            archive_entry_free(entry);
            archive_write_free(writer);
            throw std::runtime_error("cannot add " + item.path + ": " + message);
        }
        if (item.kind == ImageEntry::Kind::file && !item.content.empty()) {
            archive_write_data(writer, item.content.data(), item.content.size());
        }
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
}

// A Varnel.app as a release would hold it: a program, a read-only folder, and two links.
inline std::vector<ImageEntry> releaseBundle(const std::string& version = "2.4.0") {
    return {
        folder("Varnel.app", 0755),
        folder("Varnel.app/bin", 0755),
        file("Varnel.app/bin/VarnelMenuBar", 0750, "#!/bin/sh\necho " + version + "\n"),
        folder("Varnel.app/share", 0555),
        file("Varnel.app/share/version", 0640, version),
        link("Varnel.app/current", "bin/VarnelMenuBar"),
        link("Varnel.app/bin/version", "../share/version"),
    };
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// Rewrites every occurrence of `marker` in the image's bytes with `replacement` of the same
// length: how a test forges names that no image writer would produce. Gives the count.
inline int forge(const std::filesystem::path& image, std::string_view marker, std::string_view replacement) {
    if (marker.size() != replacement.size())
        throw std::invalid_argument("forge needs names of one length");
    std::string bytes = readFile(image);
    int count = 0;
    for (std::size_t at = bytes.find(marker); at != std::string::npos; at = bytes.find(marker, at + 1)) {
        bytes.replace(at, marker.size(), replacement);
        ++count;
    }
    writeFile(image, bytes);
    return count;
}

// The permission bits of an entry itself (a link is not followed).
inline std::filesystem::perms permsOf(const std::filesystem::path& path) {
    return std::filesystem::symlink_status(path).permissions();
}

} // namespace varnel::testing

#pragma once

#include "VarnelKit/Support/Error.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// An update's disk image: an ISO 9660 image (Rock Ridge for modes and links) whose volume root
// holds the application folder. Mounting needs privileges a desktop user does not have, so
// "attaching" unpacks the volume into the mount-point folder and "detaching" deletes it again.
// Both block and belong on the blocking pool. Virtual so that tests can stand in for it.
class DiskImage {
public:
    // The image cannot be opened or read, or holds something that must not be unpacked.
    class Failure : public Error {
    public:
        using Error::Error;
    };

    virtual ~DiskImage() = default;

    // Unpacks the image into `mountPoint`, an existing empty folder. Refuses the whole image when
    // an entry is absolute, climbs with "..", is a link whose target leads out of the volume, or
    // is anything but a file, folder or link; set-user-id and set-group-id bits are dropped. On
    // failure the folder is emptied again and Failure carries the reason.
    virtual void attach(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    // Deletes the mount-point folder and everything unpacked into it, read-only folders included.
    virtual void detach(const std::filesystem::path& mountPoint);

    // Why an entry of an image must not be unpacked; none when it is safe. `path` is the entry's
    // name inside the volume; `linkTarget` the target of a symbolic link.
    static std::optional<std::string> refusal(std::string_view path,
                                              std::optional<std::string_view> linkTarget);
};

} // namespace varnel

#pragma once

#include "VarnelKit/Agent/ProgressMeter.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// An update's body on its way to the staging folder: written to a private temporary file beside
// the final name and hashed as it arrives. The transport feeds it on its own thread; the updater
// reads it again only after the transfer has ended. Unless kept, the file goes with the object.
class IncomingImage {
public:
    // Creates the temporary file in `folder`; a file error is thrown as filesystem_error. Takes
    // at most `largest` bytes.
    IncomingImage(const std::filesystem::path& folder, const std::string& name, std::uint64_t largest,
                  std::function<void(double)> progress);
    ~IncomingImage() { discard(); }
    IncomingImage(const IncomingImage&) = delete;
    IncomingImage& operator=(const IncomingImage&) = delete;

    // The reply's head; a status outside 200-299 is refused as the server client refuses it, and
    // an announced length above the largest as the updater's Failure.
    void begin(const HttpResponseHead& head);
    // The next piece of the body; one that would go past the largest is refused, and nothing of
    // it is written.
    void take(std::string_view piece);

    // Set when writing to the file failed: that is the disk's fault, not the server's.
    const std::exception_ptr& writeError() const noexcept { return writeError_; }
    std::string digest() { return hash_.finishHex(); }

    // Removes the partial file unless it was kept. Called once the transfer has ended, so that
    // nothing is left behind even while the transport still holds the sink for a moment.
    void discard();
    // Flushes the file to the disk and gives it its final name, replacing any file there.
    void keepAs(const std::filesystem::path& target);

private:
    void write(std::string_view piece);

    std::uint64_t largest_;
    std::function<void(double)> progress_;
    std::uint64_t received_ = 0;
    std::filesystem::path path_;
    int descriptor_ = -1;
    bool kept_ = false;
    Sha256 hash_;
    std::optional<ProgressMeter> meter_;
    std::exception_ptr writeError_;
};

} // namespace varnel

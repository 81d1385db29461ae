#include "VarnelKit/Agent/IncomingImage.hpp"

#include "VarnelKit/Agent/UpdateFailures.hpp"
#include "VarnelKit/Agent/UpdateFiles.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace varnel {

namespace fs = std::filesystem;
using UpdateFiles::lastError;

IncomingImage::IncomingImage(const fs::path& folder, const std::string& name, std::uint64_t largest,
                             std::function<void(double)> progress)
    : largest_(largest), progress_(std::move(progress)) {
    std::string pattern = (folder / ("." + name + ".download-XXXXXX")).string();
    descriptor_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor_ < 0)
        throw lastError("cannot create the download file", pattern);
    path_ = pattern;
}

void IncomingImage::begin(const HttpResponseHead& head) {
    if (head.status < 200 || head.status > 299)
        throw VarnelAPIClient::APIError::http(head.status, "");
    if (head.contentLength && *head.contentLength > largest_)
        throw UpdateFailures::announcedTooLarge(*head.contentLength, largest_);
    meter_.emplace(progress_, head.contentLength.value_or(0));
}

void IncomingImage::take(std::string_view piece) {
    if (piece.size() > largest_ - received_)
        throw UpdateFailures::grewTooLarge(largest_);
    received_ += piece.size();
    write(piece);
    hash_.update(piece);
    if (!meter_)
        meter_.emplace(progress_, 0);
    meter_->advance(piece.size());
}

void IncomingImage::discard() {
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
    if (!kept_ && !path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
}

void IncomingImage::keepAs(const fs::path& target) {
    if (::fdatasync(descriptor_) != 0)
        throw lastError("cannot write the download file", path_);
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0)
        throw lastError("cannot write the download file", path_);
    fs::rename(path_, target);
    kept_ = true;
}

void IncomingImage::write(std::string_view piece) {
    if (const int error = writeAll(descriptor_, piece); error != 0) {
        errno = error;
        writeError_ = std::make_exception_ptr(lastError("cannot write the download file", path_));
        std::rethrow_exception(writeError_);
    }
}

} // namespace varnel

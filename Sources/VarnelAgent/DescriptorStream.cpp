#include "DescriptorStream.hpp"

#include "VarnelKit/Support/WriteAll.hpp"

namespace varnel::CLI {

DescriptorStream::DescriptorStream(int descriptor) : std::ostream(nullptr), buffer_(descriptor) {
    rdbuf(&buffer_);
}

DescriptorStream::Buffer::int_type DescriptorStream::Buffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        pending_ += traits_type::to_char_type(c);
    return traits_type::not_eof(c);
}

std::streamsize DescriptorStream::Buffer::xsputn(const char* data, std::streamsize count) {
    pending_.append(data, static_cast<std::size_t>(count));
    return count;
}

int DescriptorStream::Buffer::sync() {
    if (pending_.empty())
        return 0;
    // A reader that went away loses the text; the command's exit status still tells.
    (void)writeAll(descriptor_, pending_);
    pending_.clear();
    return 0;
}

} // namespace varnel::CLI

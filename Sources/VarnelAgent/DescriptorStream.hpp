#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace varnel::CLI {

// An output stream on a file descriptor that holds what it is given until a flush, then hands it
// over in one write (repeated only for what a partial write left): a line on standard error
// reaches the terminal whole, never interleaved with another writer's.
class DescriptorStream : public std::ostream {
public:
    explicit DescriptorStream(int descriptor);

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(int descriptor) : descriptor_(descriptor) {}

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* data, std::streamsize count) override;
        int sync() override;

    private:
        int descriptor_;
        std::string pending_;
    };

    Buffer buffer_;
};

} // namespace varnel::CLI

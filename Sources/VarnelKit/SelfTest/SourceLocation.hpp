#pragma once

namespace varnel {

// Where an assertion was written, taken as a default argument the way std::source_location is.
// Built on the compilers' __builtin_FILE and __builtin_LINE because clang 14 cannot provide
// std::source_location with this standard library, and the library builds with both compilers.
class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) noexcept {
        return SourceLocation(file, line);
    }

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }

private:
    constexpr SourceLocation(const char* file, unsigned line) noexcept : file_(file), line_(line) {}

    const char* file_;
    unsigned line_;
};

} // namespace varnel

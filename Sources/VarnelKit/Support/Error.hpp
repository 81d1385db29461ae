#pragma once

#include <exception>
#include <string>

namespace varnel {

// Base of every failure the agent raises on purpose. The description is the sentence a user reads,
// so what() gives the same text and catch sites need not know the concrete family.
class Error : public std::exception {
public:
    explicit Error(std::string description);

    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

// The user-facing sentence of any exception: our own errors give their description, others what().
std::string describeException(const std::exception_ptr& error);

} // namespace varnel

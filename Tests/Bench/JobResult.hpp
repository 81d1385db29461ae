// What a job's result, as the management server received it, says of a failure.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <utility>

namespace varnel::testing {

inline std::string errorCode(const nlohmann::json& result) {
    return result.contains("error") && result["error"].contains("code") ? result["error"]["code"].get<std::string>()
                                                                        : std::string();
}

inline std::string errorMessage(const nlohmann::json& result) {
    return result.contains("error") && result["error"].contains("message")
               ? result["error"]["message"].get<std::string>()
               : std::string();
}

// The bytes a failure report says the printer took, and of how many; none when it names none.
inline std::optional<std::pair<std::size_t, std::size_t>> bytesTaken(const nlohmann::json& result) {
    std::smatch match;
    const auto message = errorMessage(result);
    if (!std::regex_search(message, match, std::regex(R"(the printer took (\d+) of (\d+) bytes$)")))
        return std::nullopt;
    return std::pair{std::stoul(match[1].str()), std::stoul(match[2].str())};
}

} // namespace varnel::testing

#pragma once

#include "VarnelKit/Support/Characters.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The structure of a ZPL text: which labels are opened and closed, which ~ control commands it
// sends, and whether anything stands outside a label. Field data, parameters and unknown commands
// inside a label are not examined.
class ZplParser {
public:
    struct Analysis {
        std::int64_t labelCount = 0;              // labels opened with ^XA and closed with ^XZ
        std::vector<std::string> controlCommands; // "~" and the upper-cased letters, in order
        bool hasUnterminatedLabel = false;        // an ^XA still open at the end
        bool hasStrayText = false; // text outside any label, or a ~ without a command letter
        std::optional<std::int64_t> declaredQuantity; // the last ^PQ inside a label

        bool isEmpty() const noexcept { return labelCount == 0 && controlCommands.empty(); }
        bool isRepeatable() const noexcept { return labelCount > 0; }
        bool operator==(const Analysis&) const = default;
    };

    // A command name read after a ^ or ~ prefix, and where reading goes on.
    struct CommandScan {
        std::string name; // up to two letters, upper-cased; empty when no letter follows
        std::size_t end;  // the offset after the letters taken (after the prefix when none)
    };

    Analysis analyse(std::string_view text) const;

    // The scanners. Positions are the byte offsets of characters in the text.
    // At the prefix at `position`: up to two letters after it, each upper-cased ("^xa" is "XA",
    // "^FO50" is "FO", "^A0N" is "A").
    static std::string commandName(const Characters& text, std::size_t position);
    // The same, with the offset where the letters taken end. Scanning goes on from the letters
    // consumed, not from the length of their upper-case form ("ß" is one letter read as "SS").
    static CommandScan scanCommand(const Characters& text, std::size_t position);
    // The run of number characters from `position` read as a base-10 integer; none when there is
    // no run, when it holds a numeral that is not an ASCII digit, or when it does not fit.
    static std::optional<std::int64_t> firstNumber(const Characters& text, std::size_t position);
};

} // namespace varnel

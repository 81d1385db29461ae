#pragma once

#include "VarnelKit/Support/Characters.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Plays the printer for the self-test: reads the part of ZPL that decides what comes out on paper
// (labels opened and closed, their field texts, the sheets each asks for, the ~ control commands)
// without rendering anything. Knows ^XA, ^XZ, ^FD, ^PQ and ~ commands; everything else is passed
// over.
class ZplEmulator {
public:
    struct Label {
        std::vector<std::string> fields; // the text of every ^FD, in order
        std::int64_t quantity = 1;       // sheets asked for by ^PQ, at least 1

        bool operator==(const Label&) const = default;
    };

    struct Output {
        std::vector<Label> labels;               // the closed labels, in order
        std::vector<std::string> controlCommands; // "~" and the upper-cased letters, in order
        bool awaitingTerminator = false;          // a label still open at the end

        // The sheets that would come out: the sum of the quantities.
        std::int64_t physicalLabelCount() const;
        // Every label's fields, label after label.
        std::vector<std::string> allText() const;

        bool operator==(const Output&) const = default;
    };

    Output run(std::string_view text) const;

    // The scanners, the same as the parser's. Positions are byte offsets of characters.
    static std::string command(const Characters& text, std::size_t position);
    static std::optional<std::int64_t> number(const Characters& text, std::size_t position);
    // The text from `position` up to the next ^ or ~, trimmed of Unicode whitespace.
    static std::string fieldData(const Characters& text, std::size_t position);
};

} // namespace varnel

#include "VarnelKit/Language/ZplParser.hpp"

#include "VarnelKit/Support/Text.hpp"

#include <charconv>

namespace varnel {

ZplParser::CommandScan ZplParser::scanCommand(const Characters& text, std::size_t position) {
    CommandScan scan{"", text.indexAfter(position)};
    std::size_t collected = 0;
    while (collected < 2 && scan.end < text.endIndex() && text.isLetter(scan.end)) {
        const std::size_t next = text.indexAfter(scan.end);
        const std::string_view letter = text.character(scan.end);
        if (letter.size() == 1) {
            scan.name += static_cast<char>(letter[0] >= 'a' && letter[0] <= 'z' ? letter[0] - 'a' + 'A' : letter[0]);
            collected += 1;
        } else {
            const std::string upper = Text::uppercased(letter);
            scan.name += upper;
            // Most letters stay one scalar; only a longer form ("SS", "FFI") needs the cluster rules.
            const bool oneScalar = Text::codePoints(upper).value_or(std::u32string{}).size() == 1;
            collected += oneScalar ? 1 : Text::graphemes(upper).size();
        }
        scan.end = next;
    }
    return scan;
}

std::string ZplParser::commandName(const Characters& text, std::size_t position) {
    return scanCommand(text, position).name;
}

std::optional<std::int64_t> ZplParser::firstNumber(const Characters& text, std::size_t position) {
    std::size_t end = position;
    while (end < text.endIndex() && text.isNumber(end)) end = text.indexAfter(end);
    if (end == position) return std::nullopt;
    const char* first = text.text().data() + position;
    const char* last = text.text().data() + end;
    std::int64_t value = 0;
    const auto [stop, error] = std::from_chars(first, last, value);
    if (error != std::errc() || stop != last) return std::nullopt;
    return value;
}

ZplParser::Analysis ZplParser::analyse(std::string_view source) const {
    Analysis analysis;
    const Characters text(source);
    std::int64_t depth = 0;
    std::size_t i = 0;
    while (i < text.endIndex()) {
        if (text.is(i, '^')) {
            const CommandScan command = scanCommand(text, i);
            if (command.name == "XA") {
                ++depth;
            } else if (command.name == "XZ") {
                if (depth >= 1) {
                    ++analysis.labelCount;
                    --depth;
                }
            } else if (command.name == "PQ" && depth >= 1) {
                analysis.declaredQuantity = firstNumber(text, command.end);
            }
            i = command.end;
        } else if (text.is(i, '~')) {
            const CommandScan command = scanCommand(text, i);
            if (command.name.empty()) analysis.hasStrayText = true;
            else analysis.controlCommands.push_back("~" + command.name);
            i = command.end;
        } else {
            if (depth == 0 && !text.isWhitespace(i)) analysis.hasStrayText = true;
            i = text.indexAfter(i);
        }
    }
    analysis.hasUnterminatedLabel = depth > 0;
    return analysis;
}

} // namespace varnel

#include "VarnelKit/Language/ZplEmulator.hpp"

#include "VarnelKit/Language/ZplParser.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <limits>

namespace varnel {

std::int64_t ZplEmulator::Output::physicalLabelCount() const {
    // Quantities come from the text, so their sum saturates instead of overflowing.
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    std::int64_t sheets = 0;
    for (const Label& label : labels) {
        sheets = label.quantity > most - sheets ? most : sheets + label.quantity;
    }
    return sheets;
}

std::vector<std::string> ZplEmulator::Output::allText() const {
    std::vector<std::string> text;
    for (const Label& label : labels) text.insert(text.end(), label.fields.begin(), label.fields.end());
    return text;
}

std::string ZplEmulator::command(const Characters& text, std::size_t position) {
    return ZplParser::commandName(text, position);
}

std::optional<std::int64_t> ZplEmulator::number(const Characters& text, std::size_t position) {
    return ZplParser::firstNumber(text, position);
}

std::string ZplEmulator::fieldData(const Characters& text, std::size_t position) {
    std::size_t end = position;
    while (end < text.endIndex() && !text.is(end, '^') && !text.is(end, '~')) end = text.indexAfter(end);
    if (position >= end) return {};
    return Text::trimWhitespace(std::string_view(text.text()).substr(position, end - position));
}

ZplEmulator::Output ZplEmulator::run(std::string_view source) const {
    Output output;
    const Characters text(source);
    bool inLabel = false;
    Label current;
    std::size_t i = 0;
    while (i < text.endIndex()) {
        const bool caret = text.is(i, '^');
        if (!caret && !text.is(i, '~')) {
            i = text.indexAfter(i);
            continue;
        }
        const ZplParser::CommandScan scan = ZplParser::scanCommand(text, i);
        if (scan.name.empty()) {
            i = text.indexAfter(i);
            continue;
        }
        i = scan.end;
        if (!caret) {
            output.controlCommands.push_back("~" + scan.name);
        } else if (scan.name == "XA") {
            // A second ^XA discards the label left open.
            current = Label{};
            inLabel = true;
        } else if (scan.name == "XZ") {
            if (inLabel) {
                output.labels.push_back(std::move(current));
                current = Label{};
                inLabel = false;
            }
        } else if (scan.name == "FD") {
            if (inLabel) current.fields.push_back(fieldData(text, i));
        } else if (scan.name == "PQ") {
            if (inLabel) {
                if (const auto quantity = number(text, i)) current.quantity = *quantity < 1 ? 1 : *quantity;
            }
        }
    }
    output.awaitingTerminator = inLabel;
    return output;
}

} // namespace varnel

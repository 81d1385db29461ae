// The ZPL parser and the emulator on the same text. They scan alike, so they must see the same
// control commands; the emulator never closes more labels than the parser counts.
#include "FuzzCheck.hpp"
#include "VarnelKit/Language/ZplEmulator.hpp"
#include "VarnelKit/Language/ZplParser.hpp"

using namespace varnel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const auto analysis = ZplParser().analyse(text);
    const auto output = ZplEmulator().run(text);

    require(analysis.controlCommands == output.controlCommands,
            "parser and emulator see the same ~ commands");
    require(static_cast<std::int64_t>(output.labels.size()) <= analysis.labelCount, "labels closed");
    require(!output.awaitingTerminator || analysis.hasUnterminatedLabel, "an open label");
    require(analysis.labelCount >= 0, "label count");
    require(output.physicalLabelCount() >= static_cast<std::int64_t>(output.labels.size()), "sheets");
    for (const auto& label : output.labels)
        require(label.quantity >= 1, "a label asks for a sheet");
    for (const auto& command : analysis.controlCommands) {
        require(command.size() > 1 && command.front() == '~', "a control command has letters");
    }
    return 0;
}

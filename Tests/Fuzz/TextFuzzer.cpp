// The text helpers on any bytes: cleaning gives valid UTF-8 and keeps valid text as it is, the
// characters of a text put together give the text again, and the in-place walk finds the same
// character boundaries as the splitting helper.
#include "FuzzCheck.hpp"
#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <vector>

using namespace varnel;
using fuzz::require;

namespace {

std::vector<std::size_t> graphemeEnds(const std::string& valid) {
    std::vector<std::size_t> ends;
    std::string joined;
    for (const std::string& piece : Text::graphemes(valid)) {
        require(!piece.empty(), "no empty grapheme");
        joined += piece;
        ends.push_back(joined.size());
    }
    require(joined == valid, "graphemes join to the text");
    return ends;
}

std::vector<std::size_t> walkedEnds(const Characters& characters) {
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < characters.endIndex();) {
        const std::size_t next = characters.indexAfter(i);
        require(next > i && next <= characters.endIndex(), "the walk moves forward");
        require(characters.character(i).size() == next - i, "a character spans up to the next");
        (void)characters.isLetter(i);
        (void)characters.isNumber(i);
        (void)characters.isWhitespace(i);
        ends.push_back(next);
        i = next;
    }
    return ends;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const std::string valid = Text::makeValidUtf8(text);
    require(Text::isValidUtf8(valid), "cleaned text is valid");
    require(!Text::isValidUtf8(text) || valid == text, "valid text is kept");

    const auto scalars = Text::codePoints(valid);
    require(scalars.has_value() && Text::fromCodePoints(*scalars) == valid, "scalars round trip");
    require(Text::codePoints(text).has_value() == Text::isValidUtf8(text), "scalars only of valid text");

    const Characters characters(text);
    require(characters.text() == valid, "characters hold the cleaned text");
    require(walkedEnds(characters) == graphemeEnds(valid), "walk and split agree");

    const std::string trimmed = Text::trimWhitespace(valid);
    require(valid.find(trimmed) != std::string::npos, "trimming keeps a part of the text");
    if (!trimmed.empty()) {
        const auto ends = Text::codePoints(trimmed);
        require(!Text::isWhitespace(ends->front()) && !Text::isWhitespace(ends->back()), "trimmed ends");
    }
    require(Text::isValidUtf8(Text::uppercased(text)), "upper case is valid");
    require(Text::isValidUtf8(Text::lowercased(text)), "lower case is valid");
    (void)Text::isWhitespace(text);

    const std::size_t limit = size == 0 ? 0 : data[0] % (size + 1);
    const std::string cut = Text::truncatedUtf8(text, limit);
    require(cut.size() <= limit && Text::isValidUtf8(cut) && valid.starts_with(cut), "truncation");
    return 0;
}

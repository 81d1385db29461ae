#include "VarnelKit/Language/DymoModel.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace varnel {
namespace {

TEST(DymoModel, FromNameTakesTheFirstRuleThatMatches) {
    const std::pair<const char*, std::optional<DymoModel>> cases[] = {
        {"DYMO LabelWriter 550", DymoModel::labelWriter550},
        {"DYMO LabelWriter 550 Turbo", DymoModel::labelWriter550Turbo},
        {"dymo labelwriter 5xl", DymoModel::labelWriter5XL},
        {"DYMO LabelWriter 450", DymoModel::labelWriter450Series},
        {"DYMO LabelWriter 4XL", DymoModel::labelWriter450Series},
        {"DYMO 450 Turbo", DymoModel::labelWriter450Series},  // Turbo only matters after 550
        {"LabelWriter 550 5XL", DymoModel::labelWriter5XL},   // 5XL is looked for first
        {"DYMO LabelWriter Wireless", DymoModel::unknownLabelWriter},
        {"LabelWriter", DymoModel::unknownLabelWriter},
        {"Zebra ZT230", std::nullopt},
        {"Brother QL-550", std::nullopt}, // a model number alone is no LabelWriter
        {"", std::nullopt},
    };
    for (const auto& [name, model] : cases) EXPECT_EQ(DymoModels::fromName(name), model) << name;
}

TEST(DymoModel, SupportMessages) {
    EXPECT_EQ(supportMessage(DymoModel::labelWriter450Series),
              "LabelWriter 450 series detected. Varnel prints to it by sending a PDF through DYMO's own macOS "
              "driver, so add it in System Settings first.");
    EXPECT_EQ(supportMessage(DymoModel::labelWriter5XL),
              "LabelWriter 5XL detected. Varnel prints to it by sending a PDF through DYMO's own macOS driver, so "
              "add it in System Settings first. This model only accepts genuine DYMO label rolls.");
    EXPECT_TRUE(supportMessage(DymoModel::labelWriter550Turbo).ends_with(" genuine DYMO label rolls."));
    EXPECT_TRUE(supportMessage(DymoModel::unknownLabelWriter).starts_with("LabelWriter detected."));
    EXPECT_EQ(supportMessage(DymoModel::unknownLabelWriter).find("rolls"), std::string::npos);
    EXPECT_EQ(describe(DymoModel::labelWriter550Turbo), "labelWriter550Turbo");
}

} // namespace
} // namespace varnel

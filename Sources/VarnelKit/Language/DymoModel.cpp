#include "VarnelKit/Language/DymoModel.hpp"

#include "VarnelKit/Support/Text.hpp"

namespace varnel {

std::string_view displayName(DymoModel model) {
    switch (model) {
    case DymoModel::labelWriter450Series: return "LabelWriter 450 series";
    case DymoModel::labelWriter550: return "LabelWriter 550";
    case DymoModel::labelWriter550Turbo: return "LabelWriter 550 Turbo";
    case DymoModel::labelWriter5XL: return "LabelWriter 5XL";
    case DymoModel::unknownLabelWriter: break;
    }
    return "LabelWriter";
}

std::string supportMessage(DymoModel model) {
    std::string message = std::string(displayName(model)) +
                          " detected. Varnel prints to it by sending a PDF through "
                          "DYMO's own macOS driver, so add it in System Settings first.";
    if (requiresAuthenticConsumables(model)) message += " This model only accepts genuine DYMO label rolls.";
    return message;
}

std::string describe(DymoModel model) {
    switch (model) {
    case DymoModel::labelWriter450Series: return "labelWriter450Series";
    case DymoModel::labelWriter550: return "labelWriter550";
    case DymoModel::labelWriter550Turbo: return "labelWriter550Turbo";
    case DymoModel::labelWriter5XL: return "labelWriter5XL";
    case DymoModel::unknownLabelWriter: break;
    }
    return "unknownLabelWriter";
}

namespace DymoModels {

std::optional<DymoModel> fromUsbProductId(std::uint16_t productId) {
    switch (productId) {
    case 0x0028: return DymoModel::labelWriter550;
    case 0x0029: return DymoModel::labelWriter550Turbo;
    case 0x002A: return DymoModel::labelWriter5XL;
    default: return std::nullopt;
    }
}

std::optional<DymoModel> fromName(std::string_view name) {
    const std::string upper = Text::uppercased(name);
    const auto has = [&upper](std::string_view word) { return upper.find(word) != std::string::npos; };
    if (!has("DYMO") && !has("LABELWRITER")) return std::nullopt;
    if (has("5XL")) return DymoModel::labelWriter5XL;
    if (has("550")) return has("TURBO") ? DymoModel::labelWriter550Turbo : DymoModel::labelWriter550;
    if (has("450") || has("4XL")) return DymoModel::labelWriter450Series;
    return DymoModel::unknownLabelWriter;
}

} // namespace DymoModels

} // namespace varnel

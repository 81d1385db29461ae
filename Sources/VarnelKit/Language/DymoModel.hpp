#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// The DYMO LabelWriter models the agent recognises. They take no label language over a raw
// connection: they print PDF documents through the print system's DYMO driver.
enum class DymoModel { labelWriter450Series, labelWriter550, labelWriter550Turbo, labelWriter5XL, unknownLabelWriter };

constexpr std::array<DymoModel, 5> allCases(DymoModel) {
    return {DymoModel::labelWriter450Series, DymoModel::labelWriter550, DymoModel::labelWriter550Turbo,
            DymoModel::labelWriter5XL, DymoModel::unknownLabelWriter};
}

std::string_view displayName(DymoModel model);

// Print-head width in dots, and the same at one bit per dot.
constexpr int dotsPerLine(DymoModel model) { return model == DymoModel::labelWriter5XL ? 1248 : 672; }
constexpr int bytesPerLine(DymoModel model) { return dotsPerLine(model) / 8; }

// The models that accept only genuine DYMO label rolls.
constexpr bool requiresAuthenticConsumables(DymoModel model) {
    return model == DymoModel::labelWriter550 || model == DymoModel::labelWriter550Turbo ||
           model == DymoModel::labelWriter5XL;
}

// The hint shown for such a printer in the printer list.
std::string supportMessage(DymoModel model);

// The case name.
std::string describe(DymoModel model);

namespace DymoModels {

// DYMO's USB vendor id.
inline constexpr std::uint16_t usbVendorId = 0x0922;

// The 550, 550 Turbo and 5XL by their USB product ids; none for any other id.
std::optional<DymoModel> fromUsbProductId(std::uint16_t productId);

// The model a printer name or description means, compared upper-cased: none unless it names DYMO
// or a LabelWriter; then 5XL, 550 (Turbo when the name says so), 450 or 4XL, else the catch-all.
std::optional<DymoModel> fromName(std::string_view name);

} // namespace DymoModels

} // namespace varnel

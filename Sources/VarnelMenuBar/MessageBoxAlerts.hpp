#pragma once

#include "VarnelMenuBar/Alerts.hpp"

namespace varnel {

// Alerts as Qt message boxes: the title as the main text, the body below it.
class MessageBoxAlerts final : public Alerts {
public:
    int run(const Alert& alert) override;
};

} // namespace varnel

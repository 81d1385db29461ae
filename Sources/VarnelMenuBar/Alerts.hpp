#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnel {

// A modal alert: a title, a body and its buttons, the first of them the default.
struct Alert {
    enum class Style { information, warning };
    Style style = Style::information;
    std::string title;
    std::string body;
    std::vector<std::string> buttons; // none: the single "OK"
};

// Where alerts are shown; tests answer them from a script.
class Alerts {
public:
    virtual ~Alerts() = default;
    // Shows the alert until it is dismissed; gives the index of the button chosen, or -1 when it
    // was closed without one.
    virtual int run(const Alert& alert) = 0;
};

} // namespace varnel

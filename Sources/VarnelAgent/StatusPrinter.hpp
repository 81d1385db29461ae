#pragma once

#include "VarnelKit/Agent/StatusLine.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace varnel::CLI {

// The agent's status observer for `run`: one "[status] …" line per status that differs from the
// last one printed. The agent also calls its observer with an unchanged status when only the
// update offer changed, and that must not print the same line twice; the status it starts in
// (connecting) is never printed.
class StatusPrinter {
public:
    using Sink = std::function<void(std::string_view line)>;

    explicit StatusPrinter(Sink sink) : sink_(std::move(sink)) {}

    void show(const VarnelAgent::Status& status) {
        std::string text = StatusLine::text(status);
        if (text == last_)
            return;
        last_ = std::move(text);
        sink_("[status] " + last_);
    }

private:
    Sink sink_;
    std::string last_ = StatusLine::text(VarnelAgent::Status::connecting());
};

} // namespace varnel::CLI

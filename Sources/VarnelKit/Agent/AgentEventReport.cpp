#include "VarnelKit/Agent/AgentEventReport.hpp"

namespace varnel {

json::Ordered AgentEventReport::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["kind"] = kind;
    json::putOptional(object, "message", message);
    json::putOptional(object, "printer_id", printerId);
    json::putDate(object, "occurred_at", occurredAt);
    if (context) {
        json::Ordered map = json::Ordered::object();
        for (const auto& [key, value] : *context) map[key] = value;
        object["context"] = std::move(map);
    }
    return object;
}

json::Ordered AgentEventBatch::toJson() const {
    json::Ordered list = json::Ordered::array();
    for (const auto& event : events) list.push_back(event.toJson());
    json::Ordered object = json::Ordered::object();
    object["events"] = std::move(list);
    return object;
}

} // namespace varnel

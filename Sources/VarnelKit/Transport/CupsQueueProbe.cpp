#include "VarnelKit/Transport/CupsQueueProbe.hpp"

namespace varnel {

json::Ordered CupsQueueProbe::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["queue_name"] = queueName;
    json::putOptional(object, "driver", driver);
    json::putOptional(object, "device_uri_scheme", deviceURIScheme);
    object["accepting"] = accepting;
    object["stopped"] = stopped;
    json::putOptional(object, "queued", queued);
    json::putOptional(object, "oldest_queued_seconds", oldestQueuedSeconds);
    return object;
}

} // namespace varnel

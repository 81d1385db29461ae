#include "VarnelKit/Support/AgentVersion.hpp"

namespace varnel::AgentVersion {

std::string display() {
#ifdef VARNEL_DISPLAY_VERSION
    return VARNEL_DISPLAY_VERSION;
#else
    return current;
#endif
}

} // namespace varnel::AgentVersion

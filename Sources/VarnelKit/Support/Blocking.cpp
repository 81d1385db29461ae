#include "VarnelKit/Support/Blocking.hpp"

namespace varnel {

boost::asio::thread_pool& blockingPool() {
    static boost::asio::thread_pool pool(4);
    return pool;
}

} // namespace varnel

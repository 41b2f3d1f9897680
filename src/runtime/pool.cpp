// Worker pool (sequential stand-in until the threaded pool lands).
#include "runtime/pool.hpp"

namespace qv {

std::size_t pool_thread_count() { return 1; }

void parallel_for(std::size_t n, std::size_t,
                  const std::function<void(std::size_t, std::size_t)>& piece) {
    if (n > 0) piece(0, n);
}

}  // namespace qv

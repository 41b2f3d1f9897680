// Cost of handing 4096 elements to the worker pool against running 4095 on the caller,
// with the workers busy (back-to-back calls) and asleep (a pause between calls), and the
// speed-up on a large array.
// Built with the engine tests (or -DQUORVALINE_BENCH=ON): build/engine-tests/pool_handoff
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "pool/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Roughly a short flat kernel: a few arithmetic operations per element.
void kernel(const double* x, double* out, std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) out[i] = std::sqrt(x[i] * x[i] + 1.0) * 0.5 - x[i] / 3.0;
}

template <class F>
double median_us(int calls, std::chrono::microseconds gap, F&& f) {
    std::vector<double> us;
    for (int c = 0; c < calls; ++c) {
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
        auto t0 = Clock::now();
        f();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::nth_element(us.begin(), us.begin() + us.size() / 2, us.end());
    return us[us.size() / 2];
}

}  // namespace

int main() {
    std::vector<double> x(4096), out(4096);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i) * 0.25;
    qv::parallel_for(4096, 1024, [&](std::size_t b, std::size_t e) { kernel(x.data(), out.data(), b, e); });

    std::printf("pool threads: %zu\n", qv::pool_thread_count());
    for (auto gap : {std::chrono::microseconds(0), std::chrono::microseconds(2000)}) {
        double seq = median_us(2000, gap, [&] { kernel(x.data(), out.data(), 0, 4095); });
        double par = median_us(2000, gap, [&] {
            qv::parallel_for(4096, 1024, [&](std::size_t b, std::size_t e) { kernel(x.data(), out.data(), b, e); });
        });
        std::printf("gap %5lld us: sequential 4095: %7.2f us   pool 4096: %7.2f us   hand-off: %+7.2f us\n",
                    static_cast<long long>(gap.count()), seq, par, par - seq);
    }

    std::vector<double> big_x(1 << 22, 1.5), big_out(big_x.size());
    double seq = median_us(20, {}, [&] { kernel(big_x.data(), big_out.data(), 0, big_x.size()); });
    double par = median_us(20, {}, [&] {
        qv::parallel_for(big_x.size(), 1024,
                         [&](std::size_t b, std::size_t e) { kernel(big_x.data(), big_out.data(), b, e); });
    });
    std::printf("n = 2^22: sequential %.0f us, pool %.0f us, speed-up %.2f\n", seq, par, seq / par);
}

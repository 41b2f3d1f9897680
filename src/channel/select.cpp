// Select over receive cases. A parked selector registers one entry with each case's
// queue, one channel lock at a time; the channel that first claims its waiter (one atomic
// flag) hands it the item, so an item is never taken twice or lost. Afterwards the
// selector unlinks its remaining entries.
#include "channel/select.hpp"

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "channel/channel_core.hpp"
#include "core/fault.hpp"

namespace qv {

namespace {

// Per-thread, so shuffling needs no lock.
std::mt19937_64& thread_rng() {
    thread_local std::mt19937_64 rng = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }();
    return rng;
}

ChannelCore& core_of(const ChannelHandle& h) { return h.rx->core(); }

}  // namespace

std::optional<SelectResult> select_recv(std::span<const ChannelHandle> cases, bool poll) {
    const std::size_t n = cases.size();
    if (n == 0) {
        if (poll) return std::nullopt;
        fault("no operations have been added to `Select`");
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (n > 1) std::shuffle(order.begin(), order.end(), thread_rng());

    // Look once without parking, so a ready case is chosen in random order.
    for (std::size_t i : order) {
        std::optional<ChannelItem> item;
        if (core_of(cases[i]).try_recv(item)) return SelectResult{i, std::move(item)};
    }
    if (poll) return std::nullopt;

    Waiter self;
    std::vector<WaitEntry> entries(n);
    std::size_t linked = 0;  // entries of order[0, linked) were linked
    bool took = false;
    while (linked < n) {
        const std::size_t i = order[linked];
        entries[i].waiter = &self;
        entries[i].case_index = i;
        const auto step = core_of(cases[i]).recv_or_link(entries[i]);
        if (step != ChannelCore::Registration::Linked) {
            took = step == ChannelCore::Registration::TookItem;
            break;
        }
        ++linked;
    }
    if (!took) self.sleep();
    for (std::size_t k = 0; k < linked; ++k) {
        core_of(cases[order[k]]).unlink_if_linked(entries[order[k]]);
    }
    return SelectResult{self.fired, std::move(self.received)};
}

}  // namespace qv

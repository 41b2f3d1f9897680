// Receiving from whichever of several channels is ready first, or polling them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "channel/channel.hpp"

namespace qv {

struct SelectResult {
    std::size_t index;  // position of the case that fired
    // The item taken (a buffer or the end marker); nullopt when the case's channel has no
    // sending end left, or is closed with its marker taken and nothing left to take.
    std::optional<ChannelItem> item;
};

// Tests the cases in a fresh random order (per-thread generator) and takes from the first
// ready one; choosing and taking are one step. With `poll`, returns nullopt when none is
// ready (or there are no cases); otherwise waits. No cases without `poll` is the fault
// "no operations have been added to `Select`".
std::optional<SelectResult> select_recv(std::span<const ChannelHandle> cases, bool poll);

}  // namespace qv

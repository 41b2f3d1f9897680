// The delivery worker: one detached thread, "delivery-worker", started by the first
// delivery, that sends results into channels in queue order and completes their tasks.
#pragma once

#include "buffer/inner.hpp"
#include "channel/channel.hpp"
#include "runtime/task.hpp"

namespace qv {

// Holds the channel's sending end only: once every Python handle of the channel is gone,
// a send waiting on it fails (ChannelClosed) and the worker moves on.
struct DeliveryJob {
    ChannelSendEnd channel;
    TaskRef task;
    BufferRef buffer;
};

// Starts the worker on first use (fault "failed to spawn delivery worker thread: ..." on
// failure, leaving the slot empty so a later call retries) and queues the job.
void deliver(DeliveryJob job);

}  // namespace qv

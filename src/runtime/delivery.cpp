// The delivery worker: a lazily started, detached thread that takes jobs from one
// unbounded FIFO queue and sends each result into its channel, one job at a time.
#include "runtime/delivery.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/engine_thread.hpp"
#include "core/fault.hpp"
#include "core/fork_reset.hpp"

namespace qv {

namespace {

struct DeliveryQueue {
    std::mutex lock;
    std::condition_variable job_ready;
    std::deque<DeliveryJob> jobs;
    bool worker_gone = false;
};

// The process-wide slot: filled once the worker runs, never emptied (except in a forked
// child, which has no worker). The queue is never destroyed: the worker outlives main().
std::atomic<DeliveryQueue*> g_queue{nullptr};
// Serialises first starts; a failed start leaves the slot empty so a later call retries.
std::mutex g_start_lock;

void deliver_one(DeliveryJob job) {
    // Cancelled (or otherwise finished) while queued: nothing is sent.
    if (job.task->is_done()) return;
    job.task->mark_delivering();
    // The flag is read once: a close() that lands while the send waits does not stop it.
    if (is_closed(job.channel)) {
        job.buffer.reset();
        job.task->fail(EngineError::channel_closed());
        return;
    }
    // A cancel() while the send waits withdraws the buffer: the worker is free again.
    const Task& task = *job.task;
    if (BufferRef refused =
            send_item(job.channel, std::move(job.buffer), [&task] { return task.is_done(); })) {
        refused.reset();
        job.task->fail(EngineError::channel_closed());  // a no-op once cancelled
        return;
    }
    job.task->complete_delivery();
}

void run_worker(DeliveryQueue& q) {
    try {
        for (;;) {
            DeliveryJob job;
            {
                std::unique_lock<std::mutex> g(q.lock);
                q.job_ready.wait(g, [&] { return !q.jobs.empty(); });
                job = std::move(q.jobs.front());
                q.jobs.pop_front();
            }
            deliver_one(std::move(job));
        }
    } catch (...) {
        // Nothing may escape a detached thread; later deliveries report the lost worker.
        std::deque<DeliveryJob> dropped;
        std::lock_guard<std::mutex> g(q.lock);
        q.worker_gone = true;
        dropped.swap(q.jobs);
    }
}

DeliveryQueue& start_worker() {
    auto* q = new DeliveryQueue;
    if (auto failure = start_engine_thread("delivery-worker", [q] { run_worker(*q); })) {
        delete q;
        fault("failed to spawn delivery worker thread: " + *failure);
    }
    return *q;
}

// The child of a fork() has no worker thread. Forget the parent's queue and start lock
// (either may have been held by a thread that does not exist here) so the next delivery
// starts a new worker.
void reset_in_child() {
    rebuild_in_child(g_start_lock);
    g_queue.store(nullptr, std::memory_order_relaxed);
}

// Registered at load time, so a fork during the first start is covered too.
const ForkRegistration g_fork{{.child = reset_in_child}};

DeliveryQueue& queue() {
    if (DeliveryQueue* q = g_queue.load(std::memory_order_acquire)) return *q;
    std::lock_guard<std::mutex> g(g_start_lock);
    if (DeliveryQueue* q = g_queue.load(std::memory_order_acquire)) return *q;
    DeliveryQueue& q = start_worker();
    g_queue.store(&q, std::memory_order_release);
    return q;
}

}  // namespace

void deliver(DeliveryJob job) {
    DeliveryQueue& q = queue();
    {
        std::lock_guard<std::mutex> g(q.lock);
        if (!q.worker_gone) {
            q.jobs.push_back(std::move(job));
            q.job_ready.notify_one();
            return;
        }
    }
    fault("delivery worker channel disconnected");
}

}  // namespace qv

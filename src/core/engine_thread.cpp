// Engine threads: pthread_create under a full signal mask, which the new thread inherits.
#include "core/engine_thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <memory>

namespace qv {
namespace {

struct Start {
    std::string name;
    std::function<void()> body;
};

void* thread_main(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    // Named by itself before its body runs, and by its creator before that returns: nobody
    // on either side sees it unnamed.
    pthread_setname_np(pthread_self(), start->name.c_str());
    start->body();
    return nullptr;
}

}  // namespace

std::optional<std::string> start_engine_thread(const std::string& name,
                                               std::function<void()> body) {
    auto owned = std::make_unique<Start>(Start{name, std::move(body)});
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, thread_main, owned.get());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc != 0) return std::string(std::strerror(rc));
    owned.release();  // the thread owns it now
    pthread_setname_np(thread, name.c_str());
    pthread_detach(thread);
    return std::nullopt;
}

}  // namespace qv

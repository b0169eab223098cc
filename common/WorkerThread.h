#pragma once

// A thread that does one job in the background for the object that owns it:
// writing lines, telling news, writing the page, writing the index. It runs
// with every signal blocked, as signals are for the threads that serve. Its
// body gets a std::stop_token: stop() asks it to end and waits until it has;
// the body waits on a std::condition_variable_any with the token, or
// registers a std::stop_callback, so that the request wakes it. The owner's
// destructor stops it at the latest, and an owner that must not wait for a
// body stuck in a write may leave it running (detach()).

#include <stop_token>
#include <thread>
#include <utility>

namespace crashreports {

// Blocks every signal in the calling thread.
void blockAllSignals();

class WorkerThread {
public:
    // Starts `body(std::stop_token)`; throws std::system_error if no thread
    // can be had.
    template <typename Body>
    explicit WorkerThread(Body body)
        : thread_([body = std::move(body)](std::stop_token stop) mutable {
              blockAllSignals();
              body(std::move(stop));
          })
    {
    }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { stop(); }

    // Asks the body to end; never waits.
    void requestStop() { thread_.request_stop(); }
    // Asks the body to end and waits until it has. Again, it does nothing.
    void stop()
    {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }
    // Leaves the body to end on its own, or with the process.
    void detach()
    {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.detach();
        }
    }

private:
    std::jthread thread_;
};

}  // namespace crashreports

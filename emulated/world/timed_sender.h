// Messages due at a time, handed on by a thread of their own as the clock reaches them: in the order
// they are due, and those due at the same moment in the order they were scheduled. A late answer then
// never holds up what arrives meanwhile, as a device's own line out does not.
//
// The delivery function gets every message that has come due, in order, with no lock of the sender
// held (it may schedule more); it returns false to end the thread (its MIDI system is gone). Stopping
// waits for a delivery that is running, and drops what is still waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

template <class Message>
struct TimedSender {
    using Clock = std::chrono::steady_clock;
    using Delivery = std::function<bool(std::vector<Message>& due)>;

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::pair<Clock::time_point, std::uint64_t>, Message> waiting;
    std::uint64_t serial = 0;
    bool stopping = false;
    std::thread thread;
};

template <class Message>
void timedSchedule(TimedSender<Message>& sender, typename TimedSender<Message>::Clock::time_point due,
                   Message message) {
    {
        std::lock_guard<std::mutex> lock(sender.mutex);
        sender.waiting.emplace(std::make_pair(due, sender.serial++), std::move(message));
    }
    sender.changed.notify_all();
}

// True once timedStop has been called: a delivery that waits (for a JACK cycle) gives up then.
template <class Message>
bool timedStopping(TimedSender<Message>& sender) {
    std::lock_guard<std::mutex> lock(sender.mutex);
    return sender.stopping;
}

// Starts the thread; what was scheduled before it started goes out as it comes due.
template <class Message>
void timedStart(TimedSender<Message>& sender, typename TimedSender<Message>::Delivery deliver) {
    using Clock = typename TimedSender<Message>::Clock;
    {
        std::lock_guard<std::mutex> lock(sender.mutex);
        sender.stopping = false;
    }
    sender.thread = std::thread([&sender, deliver = std::move(deliver)] {
        for (;;) {
            std::vector<Message> due;
            {
                std::unique_lock<std::mutex> lock(sender.mutex);
                for (;;) {
                    if (sender.stopping) return;
                    if (!sender.waiting.empty()) {
                        const typename Clock::time_point first = sender.waiting.begin()->first.first;
                        if (first <= Clock::now()) break;
                        sender.changed.wait_until(lock, first);
                    } else {
                        sender.changed.wait(lock);
                    }
                }
                const typename Clock::time_point now = Clock::now();
                while (!sender.waiting.empty() && sender.waiting.begin()->first.first <= now) {
                    due.push_back(std::move(sender.waiting.begin()->second));
                    sender.waiting.erase(sender.waiting.begin());
                }
            }
            if (!deliver(due)) return;
        }
    });
}

// Ends the thread and drops what has not come due. Must not be called from the delivery function.
template <class Message>
void timedStop(TimedSender<Message>& sender) {
    {
        std::lock_guard<std::mutex> lock(sender.mutex);
        sender.stopping = true;
        sender.waiting.clear();
    }
    sender.changed.notify_all();
    if (sender.thread.joinable()) sender.thread.join();
}

#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/process_exclusion.h"

namespace platform {

// Decides on a thread of its own whether a playback stream's process is left
// out, because the decision reads /proc and may log, which the loop thread
// (the IO thread) must not wait for. Verdicts are collected without waiting.
class ProcessClassifier {
public:
    struct Verdict {
        uint32_t input;
        bool excluded;
    };

    // `answered` is called on the worker after each verdict.
    ProcessClassifier(std::shared_ptr<const ProcessExclusion> exclusion, std::function<void()> answered);
    // Waits for the decision under way, if any.
    ~ProcessClassifier();
    ProcessClassifier(const ProcessClassifier&) = delete;
    ProcessClassifier& operator=(const ProcessClassifier&) = delete;

    void ask(uint32_t input, StreamProcess process);
    // The verdicts reached since the last call; none when the worker is just
    // handing one over (they come with the next call).
    const std::vector<Verdict>& collect();

private:
    struct Question {
        uint32_t input;
        StreamProcess process;
    };
    void work();

    const std::shared_ptr<const ProcessExclusion> exclusion_;
    const std::function<void()> answered_;
    std::mutex mutex_; // held only to hand questions and verdicts over
    std::condition_variable asked_;
    std::vector<Question> questions_;
    std::vector<Verdict> verdicts_;
    std::vector<Verdict> collected_; // the caller's, swapped with verdicts_
    bool ending_ = false;
    std::thread worker_;
};

} // namespace platform

#include "platform/pulse/process_classifier.h"

namespace platform {
namespace {

// More playback streams than start at once in practice: handing them over
// then needs no allocation.
constexpr size_t reserved = 64;

} // namespace

ProcessClassifier::ProcessClassifier(std::shared_ptr<const ProcessExclusion> exclusion,
                                     std::function<void()> answered)
    : exclusion_(std::move(exclusion)), answered_(std::move(answered))
{
    questions_.reserve(reserved);
    verdicts_.reserve(reserved);
    collected_.reserve(reserved);
    worker_ = std::thread([this] { work(); });
}

ProcessClassifier::~ProcessClassifier()
{
    {
        std::lock_guard guard(mutex_);
        ending_ = true;
    }
    asked_.notify_one();
    worker_.join();
}

void ProcessClassifier::ask(uint32_t input, StreamProcess process)
{
    {
        std::lock_guard guard(mutex_);
        questions_.push_back({input, std::move(process)});
    }
    asked_.notify_one();
}

const std::vector<ProcessClassifier::Verdict>& ProcessClassifier::collect()
{
    collected_.clear();
    std::unique_lock guard(mutex_, std::try_to_lock);
    if (guard)
        collected_.swap(verdicts_);
    return collected_;
}

void ProcessClassifier::work()
{
    std::vector<Question> taken;
    taken.reserve(reserved);
    std::unique_lock guard(mutex_);
    for (;;) {
        asked_.wait(guard, [this] { return ending_ || !questions_.empty(); });
        if (ending_)
            return;
        taken.swap(questions_);
        guard.unlock();
        for (const Question& question : taken) {
            bool excluded = exclusion_->excludes(question.process);
            {
                std::lock_guard handing(mutex_);
                verdicts_.push_back({question.input, excluded});
            }
            answered_();
        }
        taken.clear();
        guard.lock();
    }
}

} // namespace platform

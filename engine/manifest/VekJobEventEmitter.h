#pragma once
// The job-event and progress signals, and the emitter through which a job fires its events.
//
// The job-event signal carries (event, job node) and returns a signed 32-bit result: the last
// connected slot's answer, 0 without slots. Only event 21 (installation starts) looks at it.
//
// A job run ends with exactly one eJobFinish, and nothing follows it: a JobRunScope fires it when
// the run's scope ends, also when the run ends by an exception (after eFatalError), and the
// emitter refuses, with a warning, any event that arrives later in the same run. Events are fired
// one at a time (a plug-in callback thread and the job thread may both fire); slots must not wait
// for another thread that fires on the same emitter.
#include <boost/signals2/signal.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>

namespace vek {

// The combiner of the job-event signal: the last slot's result, 0 without slots.
struct LastJobEventResult {
    using result_type = int32_t;

    template <typename Iterator>
    int32_t operator()(Iterator first, Iterator last) const
    {
        int32_t result = 0;
        for (; first != last; ++first) {
            result = *first;
        }
        return result;
    }
};

using JobEventSignal = boost::signals2::signal<int32_t(int32_t, const nlohmann::json&), LastJobEventResult>;
// (total bytes, done bytes).
using JobProgressSignal = boost::signals2::signal<void(uint64_t, uint64_t)>;

class JobEventEmitter {
public:
    explicit JobEventEmitter(JobEventSignal& signal);
    JobEventEmitter(const JobEventEmitter&) = delete;
    JobEventEmitter& operator=(const JobEventEmitter&) = delete;

    // Opens a run: events flow until its eJobFinish.
    void BeginRun();
    // Fires the event and returns the signal's result. eJobFinish ends the run. Outside a run
    // (before BeginRun, after eJobFinish) nothing is fired: a warning, result 0. A slot that
    // throws does not end the run; the exception is logged and the result is 0.
    int32_t Fire(int32_t event, const nlohmann::json& node);
    // Fires eJobFinish unless the run has ended already.
    void Finish(const nlohmann::json& node);
    bool IsRunning() const;

private:
    JobEventSignal& m_signal;
    mutable std::recursive_mutex m_lock;
    bool m_running = false;
};

// One job run: opens the run when made; when it ends, fires eFatalError first if the scope is
// left by an exception, then eJobFinish, so that event 1 is always the last.
class JobRunScope {
public:
    JobRunScope(JobEventEmitter& emitter, const nlohmann::json& node);
    ~JobRunScope();
    JobRunScope(const JobRunScope&) = delete;
    JobRunScope& operator=(const JobRunScope&) = delete;

private:
    JobEventEmitter& m_emitter;
    const nlohmann::json& m_node;
    int m_exceptions;
};

} // namespace vek

#include "engine/manifest/VekJobEventEmitter.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/VekJobStates.h"

#include <exception>

namespace vek {

JobEventEmitter::JobEventEmitter(JobEventSignal& signal) : m_signal(signal) {}

void JobEventEmitter::BeginRun()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_running = true;
}

int32_t JobEventEmitter::Fire(int32_t event, const nlohmann::json& node)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (!m_running) {
        QK_LOG_WARNING(L"Job event %d (%s) outside a job run is not fired", event, JobEventName(event));
        return 0;
    }
    if (event == eJobFinish) {
        m_running = false;
    }
    try {
        return m_signal(event, node);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"A handler of job event %d threw: %hs", event, e.what());
    } catch (...) {
        QK_LOG_ERROR(L"A handler of job event %d threw an unknown exception", event);
    }
    return 0;
}

void JobEventEmitter::Finish(const nlohmann::json& node)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (m_running) {
        Fire(eJobFinish, node);
    }
}

bool JobEventEmitter::IsRunning() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_running;
}

JobRunScope::JobRunScope(JobEventEmitter& emitter, const nlohmann::json& node)
    : m_emitter(emitter), m_node(node), m_exceptions(std::uncaught_exceptions())
{
    m_emitter.BeginRun();
}

JobRunScope::~JobRunScope()
{
    if (std::uncaught_exceptions() > m_exceptions) {
        m_emitter.Fire(eFatalError, m_node);
    }
    m_emitter.Finish(m_node);
}

} // namespace vek

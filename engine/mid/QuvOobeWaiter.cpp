#include "engine/mid/QuvOobeWaiter.h"

#include "engine/mid/QuvOobeCallbackStrategy.h"
#include "engine/mid/QuvOobeRegistryStrategy.h"

#include "common/errors/qkLog.h"

QuvOobeWaiter::QuvOobeWaiter() : QuvOobeWaiter(nullptr) {}

QuvOobeWaiter::QuvOobeWaiter(std::unique_ptr<QuvOobeStrategy> strategy) : m_strategy(std::move(strategy))
{
    if (!m_strategy)
        Choose();
    m_inProgress = m_strategy ? m_strategy->IsInProgress() : false;
}

void QuvOobeWaiter::Choose()
{
    m_strategy = std::make_unique<QuvOobeCallbackStrategy>();
    if (m_strategy->Initialize())
        return;
    m_strategy = std::make_unique<QuvOobeRegistryStrategy>();
    if (m_strategy->Initialize())
        return;
    m_strategy.reset();
    QK_LOG_INFO(L"No way to learn the state of first-run setup; it counts as finished");
}

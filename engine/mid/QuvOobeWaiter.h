#pragma once
// Answers once, at construction, whether Windows' first-run setup is still in progress: through
// kernel32's OOBE exports, else through the setup values of the registry, else "no".
#include "engine/mid/QuvOobeStrategy.h"

#include <memory>

class QuvOobeWaiter {
public:
    QuvOobeWaiter();
    // With a strategy of the caller's (already chosen); null falls back to the system's.
    explicit QuvOobeWaiter(std::unique_ptr<QuvOobeStrategy> strategy);

    bool IsOobeInProgress() const { return m_inProgress; }
    QuvOobeStrategy* GetStrategy() const { return m_strategy.get(); }

private:
    void Choose();

    std::unique_ptr<QuvOobeStrategy> m_strategy;
    bool m_inProgress = false;
};

#pragma once
// The cache update cycle in its steps, as Process runs them: Start once per call, then RunOnce
// while ShouldRun holds. The benchmark times single passes.

#include <memory>

#include "core/server.h"

namespace core {

class CacheCycle {
public:
    explicit CacheCycle(Server* server);
    ~CacheCycle();
    CacheCycle(const CacheCycle&) = delete;
    CacheCycle& operator=(const CacheCycle&) = delete;

    void Start();
    bool ShouldRun();
    void RunOnce();

private:
    class Pass;
    std::unique_ptr<Pass> pass_;
};

}  // namespace core

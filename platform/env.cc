// The process-wide Env pointer: the back-end's own instance until a test installs another.
#include <atomic>

#include "platform/env_wrapper.h"
#include "platform/platform.h"

namespace vplat {

namespace {
std::atomic<Env*> g_pInstalled{nullptr};  // installed by a test; null = back-end default
}  // namespace

Env* Env::Default() {
    Env* p = g_pInstalled.load(std::memory_order_acquire);
    return p != nullptr ? p : internal::HostDefaultEnv();
}

Env* Env::Install(Env* env) {
    // Putting the back-end's own instance back empties the slot, so that a later
    // InitPlatform (which replaces that instance) still takes effect.
    if (env == internal::HostDefaultEnv()) env = nullptr;
    Env* pOld = g_pInstalled.exchange(env, std::memory_order_acq_rel);
    return pOld != nullptr ? pOld : internal::HostDefaultEnv();
}

}  // namespace vplat

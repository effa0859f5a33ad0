// The process-wide Env pointer: the back-end's own instance until a test installs another;
// and the environment setting that keeps the station's time as an offset.
#include <atomic>
#include <cstdlib>

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

bool ClockOffsetForced() {
    const char* szValue = std::getenv("VELMORA_CLOCK_OFFSET");
    return szValue != nullptr && szValue[0] != '\0' && !(szValue[0] == '0' && szValue[1] == '\0');
}

}  // namespace vplat

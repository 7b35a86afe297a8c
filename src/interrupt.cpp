// The interrupt hook of the process.
#include "interrupt.hpp"

namespace tilu {

namespace {
InterruptHook g_hook = nullptr;
}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_hook = hook; }

void interrupt_point() {
    if (g_hook) g_hook();
}

}  // namespace tilu

// The global unit's tick counts and questions about the running program.
#include "net/kbvIdGlobal.h"

#include <thread>

#include "core/Ticks.h"

namespace {
const std::thread::id GMainThreadId = std::this_thread::get_id();
}  // namespace

uint32_t GetElapsedTicks(uint64_t AStartTicks) {
    return static_cast<uint32_t>(GetTickDiff64(AStartTicks, GetTickCount64()));
}

bool CheckWindowsVersion(int, int) { return true; }

bool InMainThread() { return std::this_thread::get_id() == GMainThreadId; }

#include "platform/write_faults.h"

#include <atomic>

namespace tvl {

namespace {
std::atomic<int> g_kind{int(WriteFault::None)};
std::atomic<int> g_at{0};
std::atomic<int> g_steps{0};
std::atomic<bool> g_full{false};  // NoSpace or Short has struck
}  // namespace

void set_write_fault_plan(const WriteFaultPlan& plan) {
  g_steps.store(0);
  g_full.store(false);
  g_at.store(plan.at);
  g_kind.store(int(plan.kind));
}

int write_fault_steps() { return g_steps.load(); }

namespace write_faults {

namespace {
Step next(bool is_write) {
  const auto kind = WriteFault(g_kind.load(std::memory_order_relaxed));
  const int step = g_steps.fetch_add(1) + 1;
  if (kind == WriteFault::None) return Step::Run;
  if (g_full.load()) return is_write ? Step::NoSpace : Step::Run;
  if (step != g_at.load()) return Step::Run;
  switch (kind) {
    case WriteFault::Fail:
      return Step::Fail;
    case WriteFault::NoSpace:
      g_full.store(true);
      return is_write ? Step::NoSpace : Step::Run;
    case WriteFault::Short:
      g_full.store(true);
      return is_write ? Step::HalfThenNoSpace : Step::Run;
    case WriteFault::Stop:
      return is_write ? Step::HalfThenStop : Step::Stop;
    case WriteFault::None:
      break;
  }
  return Step::Run;
}
}  // namespace

Step next_write() { return next(true); }
Step next_other() { return next(false); }

}  // namespace write_faults

}  // namespace tvl

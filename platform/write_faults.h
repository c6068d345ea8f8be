// Fault injection under the writes of files that must survive a crash whole
// (FileReplacement): tests make the Nth step fail, come out short, run out of
// space or stop the process half-way, the way a full disk or a kill would.
//
// A step is one write call, one flush to the disk or one rename, counted
// from 1 since the plan was set. Without a plan (the default) nothing is
// changed and the cost is one relaxed atomic load per step.
//
// Thread safety: the plan is process-wide; tests set it while no other
// thread writes such files.
#pragma once

namespace tvl {

enum class WriteFault {
  None,
  Fail,     // step `at` fails (an I/O error); later steps succeed
  NoSpace,  // step `at` and every later write fail: the disk is full
  Short,    // write `at` writes half its bytes; later writes find no space
  Stop,     // write `at` writes half its bytes, then the process ends at
             // once with exit status kWriteFaultStopStatus (a kill); a
             // flush or rename step `at` ends it before the step
};

constexpr int kWriteFaultStopStatus = 86;

struct WriteFaultPlan {
  WriteFault kind = WriteFault::None;
  int at = 0;  // 1-based step number
};

// Installs a plan and restarts the step count.
void set_write_fault_plan(const WriteFaultPlan& plan);
// Steps counted since the last set_write_fault_plan().
int write_fault_steps();

namespace write_faults {
// Used by platform/ only. What the next step must do.
enum class Step { Run, Fail, NoSpace, HalfThenNoSpace, HalfThenStop, Stop };
Step next_write();
Step next_other();  // a flush or rename: never partial
}  // namespace write_faults

}  // namespace tvl

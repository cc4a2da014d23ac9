#pragma once
// Real-time scheduling for the threads that keep a run's time. Under SCHED_FIFO a thread runs
// as soon as its sleep ends, ahead of every normal thread, so a busy machine (a compiler, a
// browser, a replot) no longer pushes a tick late. Linux grants it to root and to users whose
// RLIMIT_RTPRIO allows it (for example through /etc/security/limits.d/); otherwise the thread
// keeps its normal priority.

#include <pthread.h>
#include <sched.h>

namespace zrvlog {

/// The priority the sampling threads ask for: above every normal thread, below the kernel's
/// own interrupt threads (50), which must still deliver the serial port's bytes.
inline constexpr int kSamplingPriority = 20;

/// Moves the calling thread to SCHED_FIFO at priority (lowered to what RLIMIT_RTPRIO allows).
/// Returns whether the system agreed; on refusal nothing changes. ZRVLOG_REALTIME=0 in the
/// environment turns the request off.
bool requestRealTimePriority(int priority = kSamplingPriority);

/// Whether the calling thread runs under SCHED_FIFO.
bool hasRealTimePriority();

/// Where a run keeps its window and its sampling thread: one CPU they share, the sampling
/// thread (real-time) taking it whenever it needs it and the drawing getting the rest, so that
/// the other CPUs stay free for the kernel's serial-port work, which every read waits for.
/// Only worth it with real-time priority and at least two CPUs.
class SharedCpu {
 public:
  /// The last CPU this process may run on, or -1 when it may run on only one.
  static int choose();
  /// Keeps the calling thread on cpu until restore() (or destruction); false when refused.
  /// A positive stepBack also raises the thread's nice value by that much meanwhile, so that
  /// the kernel's work on the same CPU runs ahead of it; it is left out where the thread could
  /// not take its priority back afterwards (mayRaisePriorityTo).
  bool pin(int cpu, int stepBack = 0);
  /// Gives the calling thread back the CPUs and the nice value it had before pin().
  void restore();
  ~SharedCpu() { restore(); }

 private:
  bool m_pinned = false;
  pthread_t m_thread{};
  cpu_set_t m_saved{};  // the thread's CPU mask before pin()
  int m_savedNice = 0;
  bool m_stepped = false;  // whether pin() raised the nice value
};

/// How far the window's thread steps back while it shares the sampling thread's CPU. The
/// serial port's bytes reach a reader through kernel work at normal priority; behind a
/// replot at the same nice value it waits a scheduler slice, and the read with it.
inline constexpr int kWindowStepBack = 5;

/// Whether the calling thread may lower its nice value to nice again: with CAP_SYS_NICE, or
/// where RLIMIT_NICE allows it. Unprivileged threads can raise their nice value but not lower
/// it, so a thread that stepped back without this would stay back for good.
bool mayRaisePriorityTo(int nice);

/// Whether an RLIMIT_NICE of limit lets a thread lower its nice value to nice (the limit
/// counts 20 - nice: 20 allows 0, 40 allows -20).
bool rlimitNiceAllows(unsigned long long limit, int nice);

}  // namespace zrvlog

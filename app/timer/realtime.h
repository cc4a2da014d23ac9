#pragma once
// Real-time scheduling for the threads that keep a run's time. Under SCHED_FIFO a thread runs
// as soon as its sleep ends, ahead of every normal thread, so a busy machine (a compiler, a
// browser, a replot) no longer pushes a tick late. Linux grants it to root and to users whose
// RLIMIT_RTPRIO allows it (for example through /etc/security/limits.d/); otherwise the thread
// keeps its normal priority.

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

}  // namespace zrvlog

#pragma once

namespace lumetra::threads {

// Lets the calling thread run ahead of the process's other threads: real-time priority at
// its lowest level (SCHED_FIFO 1), where the system allows it (root, CAP_SYS_NICE or an
// RLIMIT_RTPRIO above 0) and the machine has at least two processors. Meant for the
// measuring thread, which every frame waits for: on two processors the camera's and the
// window's threads otherwise take turns with it and the rate drops by a quarter. Threads
// it starts afterwards run at normal priority. LUMETRA_REALTIME=0 in the environment
// leaves the thread as it is. Returns whether the thread now runs at real-time priority.
bool runAhead();

// Whether the calling thread runs at real-time priority.
bool runsAhead();

// Puts the calling thread at real-time priority (`ahead`) or back at normal priority, as
// runAhead() would. For helper threads that run a part of another thread's work: a task the
// measuring thread waits for must not wait behind the threads the measuring runs ahead of.
// Remembers the last setting per thread, so a call that changes nothing costs no system call.
void followPriority(bool ahead);

} // namespace lumetra::threads

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

} // namespace lumetra::threads

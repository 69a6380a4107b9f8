#include "ThreadPriority.h"

#include <QThread>
#include <QtGlobal>

#if defined(__linux__)
#include <sched.h>
#endif

namespace lumetra::threads {

bool runAhead() {
#if defined(__linux__)
    if (qEnvironmentVariable("LUMETRA_REALTIME") == QLatin1String("0"))
        return runsAhead();
    // On one processor a real-time thread would hold the window back for as long as it
    // measures.
    if (QThread::idealThreadCount() < 2)
        return runsAhead();
    sched_param p{};
    p.sched_priority = 1;
    // Reset on fork: the threads it starts (pool threads, Qt's helpers) inherit nothing.
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &p) == 0;
#else
    return false;
#endif
}

bool runsAhead() {
#if defined(__linux__)
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
#else
    return false;
#endif
}

} // namespace lumetra::threads

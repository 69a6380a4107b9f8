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

void followPriority(bool ahead) {
#if defined(__linux__)
    // -1: not known yet (a new thread runs at normal priority, or at what it inherited).
    thread_local int current = -1;
    if (current == int(ahead))
        return;
    if (ahead) {
        current = runAhead() ? 1 : 0;
        return;
    }
    sched_param p{};
    sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &p);
    current = runsAhead() ? 1 : 0;
#else
    Q_UNUSED(ahead);
#endif
}

} // namespace lumetra::threads

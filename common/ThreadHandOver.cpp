#include "ThreadHandOver.h"

#include <QCoreApplication>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace lumetra::threads {

void handOver([[maybe_unused]] const void* token) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(token));
#endif
}

void takeOver([[maybe_unused]] const void* token) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(token));
#endif
}

HandOverEvent::HandOverEvent(std::function<void()> fn) : QEvent(type()), call(std::move(fn)) {}

HandOverEvent::~HandOverEvent() {
    takeOver(this);
}

QEvent::Type HandOverEvent::type() {
    static const QEvent::Type t = QEvent::Type(QEvent::registerEventType());
    return t;
}

bool CallRelay::event(QEvent* e) {
    takeOver(e); // before anything of the event is read
    if (m_token)
        takeOver(m_token);
    if (e->type() != HandOverEvent::type())
        return QObject::event(e);
    static_cast<HandOverEvent*>(e)->call();
    return true;
}

void post(QObject* relay, std::function<void()> fn) {
    auto* e = new HandOverEvent(std::move(fn));
    handOver(e);
    QCoreApplication::postEvent(relay, e);
}

} // namespace lumetra::threads

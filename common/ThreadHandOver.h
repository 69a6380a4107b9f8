#pragma once
// Qt passes queued calls, events and pool tasks between threads under its own locks, which
// the thread sanitizer cannot see when Qt is not built with it. These marks state each
// hand-over, so the sanitizer checks our data and not Qt's queues; in other builds they
// are nothing.

#include <QEvent>
#include <QObject>

#include <functional>

namespace lumetra::threads {

// Everything this thread wrote before handOver(token) is seen by a thread that calls
// takeOver(token) after it.
void handOver(const void* token);
void takeOver(const void* token);

// A call posted into another thread. The event is complete before the hand-over mark and
// posted after it, so everything it carries is covered by the mark (a queued signal or
// invokeMethod would build its arguments after any mark we could set).
class HandOverEvent : public QEvent {
public:
    explicit HandOverEvent(std::function<void()> fn);
    ~HandOverEvent() override; // also when dropped unrun with its receiver
    static QEvent::Type type();
    std::function<void()> call;
};

// Runs the calls posted to it in its thread, each after taking it over, and takes over
// `token` (when given) before every event it receives.
class CallRelay : public QObject {
public:
    explicit CallRelay(QObject* parent = nullptr, const void* token = nullptr)
        : QObject(parent), m_token(token) {}
    bool event(QEvent* e) override;

private:
    const void* m_token;
};

// Posts fn to run in the thread of `relay` (a CallRelay).
void post(QObject* relay, std::function<void()> fn);

} // namespace lumetra::threads

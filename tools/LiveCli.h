#pragma once
// lumetra-measure on a live camera: the window's measuring session without a window.
//
//   lumetra-measure --live [options]
//   lumetra-measure --list-cameras [--format json|text]
//
// Exit status: 0 measured (and within the limits), 1 measured but out of limits, 2 bad
// arguments, 3 no camera or camera lost, 4 the exposure did not settle or no beam was
// found, 130 / 143 ended by SIGINT / SIGTERM (what was measured is still printed).

#include <QStringList>

namespace lumetra::tool {

enum LiveExit {
    kLiveDone = 0,
    kLiveOutOfLimits = 1,
    kLiveBadArguments = 2,
    kLiveNoCamera = 3,
    kLiveNoBeam = 4,
    kLiveInterrupted = 130,
    kLiveTerminated = 143,
};

// The arguments ask for the live mode or the camera list.
bool isLiveMode(const QStringList& args);

// Runs it in the calling thread's event loop (a QCoreApplication must exist); writes the
// results to stdout and the one-line reasons to stderr itself. Returns the exit status.
int runLive(const QStringList& args);

// The arguments checked on their own, without touching a camera or a file: empty when
// they are usable, else the one stderr line.
QString liveArgumentError(const QStringList& args);

QString liveUsageText();

} // namespace lumetra::tool

// Window members whose full behaviour belongs to other work still in progress. Each one
// here is the smallest behaviour that keeps the window consistent until then.

#include "BasCam.h"
#include "MainWindow.h"

#include <QTimer>


#pragma once
// The main window's generated form (Ui_MainWindow from MainWindow.ui). The window class
// itself lives in the application layer and includes the form through this header.

#include "ui_MainWindow.h"

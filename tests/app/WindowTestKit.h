#pragma once
// What the window tests share: text files written whole, and the first camera opened the
// way the list would show it selected, without running the selection flow.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "TestSupport.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <QTest>

namespace windowtest {

inline void writeText(const QString& path, const QByteArray& text) {
    QVERIFY(testsupport::writeTextFile(path, text));
}

inline void openFirstCamera(MainWindow& w) {
    QComboBox* list = w.form()->listCamComboBox;
    QVERIFY(list->count() >= 2);
    {
        const QSignalBlocker block(list);
        list->setCurrentIndex(1);
    }
    QCOMPARE(w.camera()->openCamera(0), 0);
    QVERIFY(w.camera()->isOpen());
}

} // namespace windowtest

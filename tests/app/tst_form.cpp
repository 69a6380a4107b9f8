// The main window's form, the spot view's mouse rules, the resources and the two small
// dialogs, without the window's logic.

#include "AboutDialog.h"
#include "CustomGV.h"
#include "Log.h"
#include "MainWindowForm.h"
#include "Resources.h"
#include "TestSupport.h"
#include "VersionDialog.h"

#include <QFile>
#include <QIcon>
#include <QMainWindow>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

namespace {

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(pos), target->mapToGlobal(QPointF(pos)), button, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

} // namespace

class TestForm : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_window = std::make_unique<QMainWindow>();
        m_ui = std::make_unique<Ui::MainWindow>();
        lumetra::ui::initResources();
        m_ui->setupUi(m_window.get());
    }
    void cleanup() {
        m_ui.reset();
        m_window.reset();
    }

    void windowStyleSheetIsExact() {
        const QString expected =
            QStringLiteral("QMainWindow {background-color:#333; }\n"
                           "\n"
                           "QMenuBar {background-color:#333;}\n"
                           "QMenuBar::item {background:#333; color:#DDD;}\n"
                           "QMenuBar::item:selected {background:#555;}\n"
                           "QMenuBar::item:!enabled{background:#222;color:#888;}\n"
                           "QMenu {background-color:#333;}\n"
                           "QMenu::item {background:#333; color:#DDD;}\n"
                           "QMenu::item:selected {background:#555;}\n"
                           "QMenu::item:!enabled {background:#333;color:#888;}\n"
                           "\n"
                           "QToolBar {border:1px solid #555; }\n"
                           "QToolButton {color:#DDD; padding:5px; margin:2px 0px;}\n"
                           "QToolButton:disabled {color:#888;}\n"
                           "QCheckBox {color:#DDD;}\n"
                           "QCheckBox:disabled {color:#888;}\n"
                           "QGraphicsView {background-color:#222;}\n"
                           "CustomGV {background-color:#222;}\n"
                           "QLabel {color:#DDD;}\n"
                           "QLabel:disabled {color:#888;}\n"
                           "QPushButton {color:#DDD;}\n"
                           "QPushButton:disabled {color:#888;}\n"
                           "\n"
                           "QStatusBar {color:#DDD;}\n"
                           "QGroupBox {color:#99C; border:1px solid #555555;}\n"
                           "QGroupBox:disabled {color:#559;}\n"
                           "QRadioButton {color:#DDD;}\n"
                           "QRadioButton:disabled {color:#888;}");
        QCOMPARE(m_window->styleSheet(), expected);
        QCOMPARE(m_ui->groupBox_3->styleSheet(),
                 QStringLiteral("QPushButton {background-color:#AAA; }\n"
                                "QPushButton:checked {background-color:#3F5; }\n"
                                "QPushButton:hover {background-color:#FC5; }\n"
                                "QPushButton:disabled {background-color:#555; }\n"
                                "QPushButton { color:#000; }"));
        QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Varnelle - Lumetra"));
        QCOMPARE(m_window->size(), QSize(1057, 1228));
    }

    void widgetTreeNamesClassesAndNesting_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("ancestor");
        const char* rows[][3] = {
            {"splitter", "QSplitter", "centralwidget"},
            {"scrollArea", "QScrollArea", "splitter"},
            {"graphicsView", "CustomGV", "scrollAreaWidgetContents"},
            {"scrollArea_2", "QScrollArea", "splitter"},
            {"listCamComboBox", "QComboBox", "scrollAreaWidgetContents_2"},
            {"expoGroupBox", "QGroupBox", "scrollAreaWidgetContents_2"},
            {"exposureSpin", "QDoubleSpinBox", "expoGroupBox"},
            {"autoExpoCheckBox", "QCheckBox", "expoGroupBox"},
            {"autoRoiCheckBox", "QCheckBox", "expoGroupBox"},
            {"redBoostCombo", "QComboBox", "expoGroupBox"},
            {"imgStabSlider", "QSlider", "expoGroupBox"},
            {"addWL_G", "QPushButton", "expoGroupBox"},
            {"waveBCombo", "QComboBox", "expoGroupBox"},
            {"calRPushButton", "QPushButton", "expoGroupBox"},
            {"maxBValue", "QLabel", "expoGroupBox"},
            {"temperatureLabel", "QLabel", "scrollAreaWidgetContents_2"},
            {"groupBox_3", "QGroupBox", "scrollAreaWidgetContents_2"},
            {"pushButton_7", "QPushButton", "groupBox_3"},
            {"brSelButton", "QPushButton", "groupBox_3"},
            {"divValue", "QLabel", "groupBox"},
            {"rbValue", "QLabel", "groupBox_2"},
            {"valuePowerTotal", "QLabel", "powerGroup"},
            {"warningRoiLabel", "QLabel", "scrollAreaWidgetContents_2"},
            {"previewGraphics", "QGraphicsView", "scrollAreaWidgetContents_2"},
            {"menubar", "QMenuBar", "MainWindow"},
            {"statusbar", "QStatusBar", "MainWindow"},
            {"toolBar", "QToolBar", "MainWindow"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << r[0] << r[1] << r[2];
    }
    void widgetTreeNamesClassesAndNesting() {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, ancestor);
        auto* w = m_window->findChild<QWidget*>(name);
        QVERIFY2(w, qPrintable(name));
        QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
        bool found = false;
        for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
            found = found || p->objectName() == ancestor;
        QVERIFY2(found, qPrintable(name + " not inside " + ancestor));
    }

    void rightColumnOrderFromTopToBottom() {
        const QStringList expected = {"listCamComboBox",
                                      "expoGroupBox",
                                      "temperatureLabel",
                                      "",
                                      "groupBox_3",
                                      "groupBox",
                                      "groupBox_2",
                                      "powerGroup",
                                      "warningLabel",
                                      "warningRoiLabel",
                                      "",
                                      "previewGraphics"};
        QLayout* l = m_ui->verticalLayout_3;
        QCOMPARE(l->count(), expected.size());
        for (int i = 0; i < l->count(); ++i) {
            QLayoutItem* it = l->itemAt(i);
            if (expected[i].isEmpty())
                QVERIFY(it->spacerItem());
            else
                QCOMPARE(it->widget()->objectName(), expected[i]);
        }
        QCOMPARE(m_ui->splitter->widget(0), m_ui->scrollArea);
        QCOMPARE(m_ui->splitter->widget(1), m_ui->scrollArea_2);
    }

    void controlsRangesTextsAndFonts() {
        QDoubleSpinBox* e = m_ui->exposureSpin;
        QCOMPARE(e->minimum(), 0.1);
        QCOMPARE(e->maximum(), 200.0);
        QCOMPARE(e->decimals(), 2);
        QCOMPARE(e->value(), 10.0);
        QCOMPARE(e->suffix(), QStringLiteral(" ms"));
        QCOMPARE(e->buttonSymbols(), QAbstractSpinBox::NoButtons);
        e->setValue(500);
        QCOMPARE(e->value(), 200.0);
        e->setValue(0.01);
        QCOMPARE(e->text(), QStringLiteral("0.10 ms"));

        QSlider* s = m_ui->imgStabSlider;
        QCOMPARE(s->minimum(), 2);
        QCOMPARE(s->maximum(), 10);
        QCOMPARE(s->pageStep(), 1);
        QCOMPARE(s->value(), 8);
        QCOMPARE(s->orientation(), Qt::Horizontal);

        QCOMPARE(m_ui->redBoostCombo->count(), 4);
        QCOMPARE(m_ui->redBoostCombo->currentIndex(), 0);
        QCOMPARE(m_ui->redBoostCombo->currentText(), QStringLiteral("Disabled"));
        QCOMPARE(m_ui->redBoostCombo->itemText(3), QStringLiteral("x4"));
        QCOMPARE(m_ui->waveRCombo->count(), 3);
        QCOMPARE(m_ui->waveGCombo->currentText(), QStringLiteral("520"));
        QCOMPARE(m_ui->waveBCombo->currentText(), QStringLiteral("445"));
        QCOMPARE(m_ui->listCamComboBox->count(), 1);
        QVERIFY(m_ui->autoExpoCheckBox->isChecked());
        QVERIFY(m_ui->autoRoiCheckBox->isChecked());
        QCOMPARE(m_ui->addWL_B->text(), QStringLiteral("Add Wavelength (B)"));
        QCOMPARE(m_ui->maxGLabel->text(), QStringLiteral("Max G ="));
        QCOMPARE(m_ui->temperatureLabel->text(), QStringLiteral("Sensor temperature: N/A"));
        QCOMPARE(m_ui->temperatureLabel->font().pointSize(), 10);
        QCOMPARE(m_ui->warningLabel->font().pointSize(), 11);
        QCOMPARE(m_ui->warningLabel->styleSheet(), QStringLiteral("color:red;"));
        QVERIFY(m_ui->warningRoiLabel->wordWrap());
        QCOMPARE(m_ui->groupBox->title(),
                 QStringLiteral("Divergence measures FWHM [Geo Average] (X * Y mrad)"));

        // Result labels: 10 pt, centred, coloured per channel.
        const QList<QPair<QLabel*, QString>> colours = {
            {m_ui->redDivValue, "color:#FF5544;"},  {m_ui->greenLabelDiv, "color:#55FF44;"},
            {m_ui->blueDivValue, "color:#4455FF;"}, {m_ui->divValue, "QLabel {color:#FFF; }"},
            {m_ui->rgValue, "color:#FFFF44;"},      {m_ui->bgAlign, "color:#44FFFF;"},
            {m_ui->rbValue, "color:#FF44FF;"},      {m_ui->labelPowerTotal, "color:#FFFFFF;"},
            {m_ui->valuePowerTotal, "color:#FFF;"}, {m_ui->valuePowerBlue, "color:#4455FF;"}};
        for (const auto& [label, style] : colours) {
            QCOMPARE(label->styleSheet(), style);
            QCOMPARE(label->font().pointSize(), 10);
            QCOMPARE(label->alignment(), Qt::AlignCenter);
        }
        QCOMPARE(m_ui->valuePowerRed->text(), QStringLiteral("N/A"));

        QCOMPARE(m_ui->scrollArea_2->minimumWidth(), 200);
        QCOMPARE(m_ui->scrollArea_2->maximumWidth(), 600);
        QVERIFY(!m_ui->splitter->childrenCollapsible());
        QCOMPARE(m_ui->splitter->handleWidth(), 2);
        QCOMPARE(m_ui->previewGraphics->minimumHeight(), 200);
    }

    void toolBarOnTheRightWithItsActions() {
        QCOMPARE(m_window->toolBarArea(m_ui->toolBar), Qt::RightToolBarArea);
        QVERIFY(!m_ui->toolBar->isMovable());
        QVERIFY(!m_ui->toolBar->isFloatable());
        QCOMPARE(m_ui->toolBar->iconSize(), QSize(80, 50));
        QCOMPARE(m_ui->toolBar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        const QList<QAction*> acts = m_ui->toolBar->actions();
        QCOMPARE(acts.size(), 4);
        QCOMPARE(acts[0], m_ui->actionRefresh);
        QCOMPARE(acts[1], m_ui->actionStartStream);
        QVERIFY(acts[2]->isSeparator());
        QCOMPARE(acts[3], m_ui->actionAbout);

        QVERIFY(m_ui->actionStartStream->isCheckable());
        QCOMPARE(m_ui->actionStartStream->text(), QStringLiteral("Start Streaming"));
        QCOMPARE(m_ui->actionStartStream->toolTip(), QStringLiteral("Start Streaming"));
        QCOMPARE(m_ui->actionRefresh->toolTip(), QStringLiteral("Refresh connection"));
        // Both states of the stream action have their own picture.
        const QIcon icon = m_ui->actionStartStream->icon();
        const QImage off = icon.pixmap(QSize(50, 50), QIcon::Normal, QIcon::Off).toImage();
        const QImage on = icon.pixmap(QSize(50, 50), QIcon::Normal, QIcon::On).toImage();
        QVERIFY(!off.isNull());
        QVERIFY(!on.isNull());
        QVERIFY(off != on);
        QCOMPARE(m_ui->menubar->actions().size(), 3);
        QCOMPARE(m_ui->actionManageCal->text(), QStringLiteral("Manage Calibrations"));
    }

    void resourcesUnderTheirPaths() {
        for (const char* path :
             {":/favicon1.ico", ":/Icons/StartIcon_Circleb.png", ":/Icons/PauseIcon_Circle.png",
              ":/Icons/Restart_Circle.png", ":/Icons/StopIcon_Circle.png",
              ":/Icons/SaveIcon_Circle.png", ":/Icons/Logo.png"}) {
            QVERIFY2(!QImage(QString::fromLatin1(path)).isNull(), path);
        }
        QVERIFY(!m_window->windowIcon().isNull());
        QVERIFY(!m_window->windowIcon().pixmap(32, 32).isNull());
    }

    void cornerButtonsAreExclusive() {
        QPushButton* corners[] = {m_ui->tlSelButton, m_ui->trSelButton, m_ui->blSelButton,
                                  m_ui->brSelButton};
        auto checkedCount = [&] {
            int n = 0;
            for (QPushButton* b : corners)
                n += b->isChecked() ? 1 : 0;
            return n;
        };
        QVERIFY(m_ui->blSelButton->isChecked()); // the form's own choice
        QCOMPARE(checkedCount(), 1);
        for (QPushButton* b : corners) {
            QTest::mouseClick(b, Qt::LeftButton);
            QVERIFY(b->isChecked());
            QCOMPARE(checkedCount(), 1);
            QTest::mouseClick(b, Qt::LeftButton); // clicking the checked one keeps it
            QVERIFY(b->isChecked());
            QCOMPARE(checkedCount(), 1);
            QCOMPARE(b->text(), QStringLiteral("X"));
        }
        for (QPushButton* filler : {m_ui->pushButton_5, m_ui->pushButton_6, m_ui->pushButton_7,
                                    m_ui->pushButton_8, m_ui->pushButton_9}) {
            QVERIFY(!filler->isEnabled());
            QVERIFY(filler->text().isEmpty());
        }
        QVERIFY(m_ui->buttonGroup->exclusive());
        QCOMPARE(m_ui->buttonGroup->buttons().size(), 4);
    }

    void spotViewPressRules() {
        CustomGV* gv = m_ui->graphicsView;
        QWidget* vp = gv->viewport();
        QSignalSpy left(gv, &CustomGV::gvClickedLeft);
        QSignalSpy move(gv, &CustomGV::gvMove);

        sendMouse(vp, QEvent::MouseButtonPress, QPoint(30, 40), Qt::RightButton, Qt::RightButton);
        sendMouse(vp, QEvent::MouseButtonPress, QPoint(30, 40), Qt::MiddleButton, Qt::MiddleButton);
        QCOMPARE(left.count(), 0);

        sendMouse(vp, QEvent::MouseButtonPress, QPoint(12, 34), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(left.count(), 1);
        QCOMPARE(left.at(0).at(0).toPoint(), QPoint(12, 34));

        // Right pressed while the left is already held: the held set includes the left.
        sendMouse(vp, QEvent::MouseButtonPress, QPoint(56, 78), Qt::RightButton,
                  Qt::LeftButton | Qt::RightButton);
        QCOMPARE(left.count(), 2);
        QCOMPARE(left.at(1).at(0).toPoint(), QPoint(56, 78));
        QCOMPARE(move.count(), 0);
    }

    void spotViewMoveRules() {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        CustomGV* gv = m_ui->graphicsView;
        QWidget* vp = gv->viewport();
        QSignalSpy move(gv, &CustomGV::gvMove);
        QSignalSpy left(gv, &CustomGV::gvClickedLeft);

        // No tracking anywhere: a plain move over the view delivers nothing.
        QVERIFY(!gv->hasMouseTracking());
        QVERIFY(!vp->hasMouseTracking());
        QTest::mouseMove(vp, QPoint(20, 20));
        QTest::mouseMove(vp, QPoint(25, 22));
        QCOMPARE(move.count(), 0);

        // A drag with the right button held: every move is reported, nothing else.
        QTest::mousePress(vp, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
        QTest::mouseMove(vp, QPoint(30, 31));
        QTest::mouseMove(vp, QPoint(40, 45));
        QTest::mouseRelease(vp, Qt::RightButton, Qt::NoModifier, QPoint(40, 45));
        QCOMPARE(left.count(), 0);
        QVERIFY(move.count() >= 2);
        QCOMPARE(move.last().at(0).toPoint(), QPoint(40, 45));

        // A left drag: one press report, then the moves.
        move.clear();
        QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, QPoint(5, 6));
        QTest::mouseMove(vp, QPoint(7, 9));
        QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, QPoint(7, 9));
        QCOMPARE(left.count(), 1);
        QCOMPARE(left.at(0).at(0).toPoint(), QPoint(5, 6));
        QVERIFY(move.count() >= 1);
        QCOMPARE(move.last().at(0).toPoint(), QPoint(7, 9));

        // Moves after the release are not drags any more.
        move.clear();
        QTest::mouseMove(vp, QPoint(50, 50));
        QCOMPARE(move.count(), 0);
    }

    void aboutTextShowsTwoDigitMinor() {
        QCOMPARE(AboutDialog::aboutText(104),
                 QString::fromUtf8("Varnelle - Lumetra\nVersion: 1.04\n\nDate: 26th March "
                                   "2024\n\nCompany: Varnelle SAS\nAuthor: \xC3\x89lise "
                                   "Varnier\n\nhttps://www.varnelle.fr"));
        QVERIFY(AboutDialog::aboutText(203).contains("\nVersion: 2.03\n"));
        QVERIFY(AboutDialog::aboutText(110).contains("\nVersion: 1.10\n"));
        QVERIFY(AboutDialog::aboutText(100).contains("\nVersion: 1.00\n"));

        AboutDialog about;
        QCOMPARE(about.text(), AboutDialog::aboutText());
        QCOMPARE(about.windowTitle(), QStringLiteral("About Varnelle - Lumetra"));
        QCOMPARE(about.minimumSize(), QSize(385, 220));
        QCOMPARE(about.maximumSize(), QSize(385, 220));
        auto* logo = about.findChild<QLabel*>("label_2");
        QVERIFY(logo);
        QVERIFY(!logo->pixmap().isNull());
        QVERIFY(logo->hasScaledContents());

        testsupport::ModalAnswerer answer;
        answer.enqueue([](QWidget* w) {
            if (auto* b = w->findChild<QPushButton*>("closeButton"))
                b->click();
        });
        about.exec();
        QCOMPARE(answer.count(), 1);
        QVERIFY(!about.isVisible());
    }

    void notesShowNonAsciiUtf8() {
        testsupport::TempWorkDir dir;
        const QString notes =
            QString::fromUtf8("V1.04\n\nSensor limit 75 \xC2\xB0"
                              "C, exposure from 100 \xC2\xB5s,\n"
                              "tested in Besan\xC3\xA7on \xE2\x80\x93 caf\xC3\xA9 \xE2\x9C\x93\n");
        QFile f(dir.filePath("VersionNotes.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(notes.toUtf8());
        f.close();

        VersionDialog dlg(nullptr, dir.filePath("VersionNotes.txt"));
        QCOMPARE(dlg.notesText(), notes);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Lumetra - What's new in this version?"));
        QCOMPARE(dlg.size(), QSize(1050, 600));
        QVERIFY(dlg.findChild<QLabel*>("label")->wordWrap());
        // Nothing logged when the notes were found.
        QVERIFY(!QFile::exists(dir.filePath("logs")) ||
                !readAll(dir.filePath(lumetra::log::fileNameFor(QDateTime::currentDateTime())))
                     .contains("Cannot open"));
    }

    void missingNotesFileIsLogged() {
        testsupport::TempWorkDir dir;
        VersionDialog dlg(nullptr, dir.filePath("VersionNotes.txt"));
        QCOMPARE(dlg.notesText(), QStringLiteral("Version file not found"));
        const QString log =
            readAll(dir.filePath(lumetra::log::fileNameFor(QDateTime::currentDateTime())));
        QCOMPARE(log.count(QStringLiteral("> Cannot open VersionNotes.txt\n")), 1);

        testsupport::ModalAnswerer answer;
        answer.enqueue([](QWidget* w) {
            if (auto* b = w->findChild<QPushButton*>("closePushButton"))
                b->click();
        });
        dlg.exec();
        QCOMPARE(answer.count(), 1);
    }

    void shippedNotesAreUtf8InTheVersionFileFormat() {
        const QByteArray raw = [] {
            QFile f(qEnvironmentVariable("LUMETRA_SOURCE_DIR") + "/resources/VersionNotes.txt");
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        QVERIFY(!raw.isEmpty());
        const QString text = QString::fromUtf8(raw);
        QCOMPARE(text.toUtf8(), raw); // valid UTF-8
        QVERIFY(text.contains(QString::fromUtf8("\xC2\xB0"
                                                "C")));
        const QString marker(43, QLatin1Char('='));
        QVERIFY(text.startsWith(marker + "\nV1.04 "));
        // The notes between the two markers hold no further '=' (the update check reads
        // them up to the next one).
        QCOMPARE(text.count(QLatin1Char('=')), 86);
    }

private:
    std::unique_ptr<QMainWindow> m_window;
    std::unique_ptr<Ui::MainWindow> m_ui;
};

QTEST_MAIN(TestForm)
#include "tst_form.moc"

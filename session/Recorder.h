#pragma once
// Records measured frames to a CSV file: one row per FrameReport, a header row with the
// units, '.' decimals whatever the locale. Rows are formatted on the thread that hands the
// report over (a few microseconds, no waiting) and written by the recorder's own writer
// thread at least every quarter of a second, in whole rows: a write that fails part-way
// (full disk, file size limit) is cut back to the last complete row.
//
// The recording stops by itself with one failed() when the file cannot be written, its
// folder is removed or made read-only, or the attached session loses its camera; the
// rows written until then stay in the file, complete. It also gathers the stability of
// what it recorded.
//
//   \context owner   the thread that made the recorder
//   \context any     any thread

#include "FrameReport.h"
#include "Stability.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace lumetra::session {

class MeasureSession;

class Recorder : public QObject {
    Q_OBJECT
public:
    explicit Recorder(QObject* parent = nullptr);
    ~Recorder() override; // stops a recording (rows so far written)

    // Records every report the session publishes from now on (direct from its measuring
    // thread), and stops when it loses its camera. \context owner
    void attach(MeasureSession* session);

    // Creates the file (and its folder) and writes the header; false with errorString()
    // when that fails. `unit` goes into every row's "Unit" column. \context owner
    bool start(const QString& filePath, const QString& unit = QString());
    // Writes what is pending and closes the file. \context owner
    void stop();

    // One frame: a row, and a sample of the stability. Ignored when not recording.
    // \context any
    void addReport(const ReportPtr& report);

    bool isRecording() const;      // \context any
    QString filePath() const;      // \context any
    quint64 rows() const;          // rows handed over so far \context any
    double elapsedSeconds() const; // since start() \context any
    QString errorString() const;   // why the last recording stopped or did not start
    // Stability of the frames recorded (the last recording once stopped). \context any
    measure::StabilityFigures stability() const;

    // The file's columns, and one row of a report (no line end); `seconds` since the start.
    static QStringList columns();
    static QByteArray headerLine();
    static QByteArray rowLine(const FrameReport& report, double seconds, const QString& unit);
    // A default file name: "<serial>[_<unit>]_<yyyyMMdd>_<HHmmss>.csv".
    static QString defaultFileName(const QString& serial, const QString& unit,
                                   const QDateTime& when);

signals:
    // The recording stopped on its own (once per recording). Emitted on the owner thread.
    void failed(QString message);

private:
    struct Core;
    void fail(const QString& message);
    std::shared_ptr<Core> m_core;
    QMetaObject::Connection m_reports, m_lost;
};

} // namespace lumetra::session

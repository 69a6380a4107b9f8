#pragma once
// Save frames: the next N measured frames as lossless PNG (display orientation, exactly the
// images measured) in a folder of their own, with the lumetra-measure command that
// re-measures them (measure.sh, measure.txt), the calibration file it reads, and
// labels.json with what the window showed for the last frame. Files are written on a
// worker thread through a temporary file and a rename, so a full disk or an unwritable
// folder leaves no half-written file; the first fault ends the save with one message.

#include "FrameReport.h"
#include "Results.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

class FrameExporter : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxFrames = 100;

    // The set-up the frames are measured with that the reports do not carry.
    struct Setup {
        QString calibrationFile; // empty or missing: the matrices are written out instead
        std::array<QString, 3> wavelengths;
        lumetra::calibration::CalibrationData calibration;
        int redBoost = 1;
        QString measureProgram; // lumetra-measure as the script calls it
    };

    explicit FrameExporter(QObject* parent = nullptr);
    ~FrameExporter() override; // waits for the files being written

    // Begins collecting the next `count` frames (1..kMaxFrames) into a new folder under
    // `parentDir`; false with *error when a save is running or the folder cannot be made.
    bool start(const QString& parentDir, const QString& serial, int count, const Setup& setup,
               QString* error);
    bool isSaving() const { return m_total > 0; }
    QString folder() const { return m_folder; }

    // Every report the window shows, on the owner thread, with the texts its labels show
    // after it (a label may keep an older text the report leaves unset).
    void offer(const lumetra::session::ReportPtr& report,
               const lumetra::measure::ResultTexts& shown);

    // The command line (program and arguments) re-measuring these frames.
    static QStringList measureCommand(const Setup& setup, const lumetra::session::FrameReport& last,
                                      const QString& calibrationName, int count);

signals:
    void progress(int written, int total);
    void finished(const QString& folder);
    void failed(const QString& message);

private:
    void queue(std::function<QString()> task, bool frame, bool last);
    void onTaskDone(const QString& error, bool last);

    QThreadPool m_pool;         // one thread: files are written in order
    QObject* m_relay = nullptr; // brings the worker's results back to this thread
    std::shared_ptr<std::atomic<bool>> m_faulted;
    Setup m_setup;
    QString m_folder;
    int m_total = 0;   // frames asked for; 0: not saving
    int m_taken = 0;   // frames handed to the worker for this fill
    int m_written = 0; // frames the worker has written
    quint64 m_fillId = 0;
    int m_generation = 0; // begins again with each new fill
};

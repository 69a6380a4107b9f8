#include "FrameExporter.h"

#include "AnalysisOutput.h"
#include "MeasureCli.h"
#include "ThreadHandOver.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QRegularExpression>
#include <QSaveFile>

namespace threads = lumetra::threads;

namespace {

// Hand-over marks between the owner and the worker. Fixed addresses: the worker takes over
// before it reads anything of its job, even the job's own pointers.
const char kToWorker = 0;
const char kFromWorker = 0;

QString frameName(int index) {
    return QStringLiteral("frame_%1.png").arg(index, 3, 10, QLatin1Char('0'));
}

// Written through a temporary file that is renamed into place only when every byte is on
// disk: a fault leaves nothing under the name.
QString saveBytes(const QString& path, const QByteArray& bytes) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        return QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
    return {};
}

// Encoded in memory first: the PNG writer leaks its row table when the device fails under
// it (a full disk), and the bytes then go through saveBytes like every other file.
QString savePng(const QString& path, const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return QStringLiteral("Cannot write %1: %2").arg(path, writer.errorString());
    return saveBytes(path, bytes);
}

QString shellQuote(const QString& s) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./,=:+-]+$"));
    if (plain.match(s).hasMatch())
        return s;
    QString q = s;
    q.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QString commandLine(const QStringList& args) {
    QStringList quoted;
    for (const QString& a : args)
        quoted << shellQuote(a);
    return quoted.join(QLatin1Char(' '));
}

QString cornerName(const std::optional<lumetra::measure::Corner>& c) {
    static const char* names[] = {"TL", "TR", "BL", "BR"};
    return c ? QString::fromLatin1(names[int(*c)]) : QStringLiteral("none");
}

} // namespace

FrameExporter::FrameExporter(QObject* parent)
    : QObject(parent), m_relay(new threads::CallRelay(this)) {
    m_pool.setMaxThreadCount(1);
}

FrameExporter::~FrameExporter() {
    m_pool.waitForDone();
    threads::takeOver(&kFromWorker);
}

QStringList FrameExporter::measureCommand(const Setup& setup,
                                          const lumetra::session::FrameReport& last,
                                          const QString& calibrationName, int count) {
    using lumetra::tool::shortestNumber;
    const QRect roi = last.roi.isNull() ? last.frame.rect() : last.roi;
    QStringList args{
        setup.measureProgram,
        QStringLiteral("--roi"),
        QStringLiteral("%1,%2,%3,%4").arg(roi.x()).arg(roi.y()).arg(roi.width()).arg(roi.height()),
        QStringLiteral("--corner"),
        cornerName(last.corner),
        QStringLiteral("--depth"),
        QString::number(last.stabDepth),
        QStringLiteral("--exposure-us"),
        shortestNumber(last.exposureUs),
        QStringLiteral("--red-boost"),
        QString::number(setup.redBoost)};
    if (!calibrationName.isEmpty()) {
        args << QStringLiteral("--calibration") << calibrationName
             << QStringLiteral("--wavelengths")
             << QStringList{setup.wavelengths[0], setup.wavelengths[1], setup.wavelengths[2]}.join(
                    QLatin1Char(','));
    } else {
        // No file to copy: the matrix and factors in force, as numbers that read back exactly.
        const int k = last.corner ? int(*last.corner) : 0;
        QStringList unmix, factors;
        for (int e = 0; e < 9; ++e)
            unmix << shortestNumber(setup.calibration.unmixCoef[e][k]);
        for (int c = 0; c < 3; ++c)
            factors << shortestNumber(setup.calibration.powerFactor[c][k]);
        args << QStringLiteral("--unmix") << unmix.join(QLatin1Char(','))
             << QStringLiteral("--power-factors") << factors.join(QLatin1Char(','));
    }
    for (int i = 1; i <= count; ++i)
        args << frameName(i);
    return args;
}

bool FrameExporter::start(const QString& parentDir, const QString& serial, int count,
                          const Setup& setup, QString* error) {
    if (isSaving()) {
        *error = QStringLiteral("Frames are being saved already.");
        return false;
    }
    const QString base = QStringLiteral("%1_%2").arg(
        serial.isEmpty() ? QStringLiteral("camera") : serial,
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")));
    QDir parent(parentDir);
    QString name = base;
    for (int n = 2; parent.exists(name) && n < 100; ++n)
        name = QStringLiteral("%1_%2").arg(base).arg(n);
    if (!QDir().mkpath(parentDir) || !parent.mkdir(name)) {
        *error = QStringLiteral("Cannot make the folder %1.").arg(parent.filePath(name));
        return false;
    }
    m_folder = parent.filePath(name);
    m_setup = setup;
    m_total = std::clamp(count, 1, kMaxFrames);
    m_taken = 0;
    m_written = 0;
    m_fillId = 0;
    ++m_generation;
    m_faulted = std::make_shared<std::atomic<bool>>(false);
    emit progress(0, m_total);
    return true;
}

void FrameExporter::queue(std::function<QString()> task, bool frame, bool last) {
    auto faulted = m_faulted;
    const int generation = m_generation;
    std::function<void()> job = [this, task = std::move(task), faulted, generation, frame, last] {
        threads::takeOver(&kToWorker);
        QString error;
        if (!*faulted) {
            error = task();
            if (!error.isEmpty())
                *faulted = true;
        }
        threads::post(m_relay, [this, error, generation, frame, last] {
            // Frames of a fill the save has left behind do not count.
            if (frame && error.isEmpty() && generation == m_generation && isSaving())
                emit progress(++m_written, m_total);
            onTaskDone(error, last);
        });
        threads::handOver(&kFromWorker);
    };
    // The job is complete before the mark: the pool only moves it into the worker.
    threads::handOver(&kToWorker);
    m_pool.start(std::move(job));
}

void FrameExporter::onTaskDone(const QString& error, bool last) {
    if (!isSaving())
        return;
    if (!error.isEmpty()) {
        m_total = 0;
        emit failed(error);
    } else if (last) {
        m_total = 0;
        emit finished(m_folder);
    }
}

void FrameExporter::offer(const lumetra::session::ReportPtr& report,
                          const lumetra::measure::ResultTexts& shown) {
    if (!isSaving() || m_taken >= m_total || report->frame.isNull())
        return;
    const QString folder = m_folder;
    if (m_taken > 0 && report->fillId != m_fillId) {
        // A new fill (region, depth, camera): the stabilised result of the frames taken so
        // far could not be rebuilt from them, so the save begins again with this fill.
        const int drop = m_taken;
        m_taken = 0;
        m_written = 0;
        ++m_generation;
        emit progress(0, m_total);
        queue(
            [folder, drop] {
                for (int i = 1; i <= drop; ++i)
                    QFile::remove(QDir(folder).filePath(frameName(i)));
                return QString();
            },
            false, false);
    }
    m_fillId = report->fillId;
    const int index = ++m_taken;
    queue([folder, index,
           report] { return savePng(QDir(folder).filePath(frameName(index)), report->frame); },
          true, false);
    if (m_taken < m_total)
        return;
    const Setup setup = m_setup;
    const int count = m_total;
    lumetra::measure::FrameResult labels = report->result;
    labels.texts = shown;
    queue(
        [folder, setup, report, count, labels] {
            const QDir dir(folder);
            QString calibrationName;
            const QFileInfo cal(setup.calibrationFile);
            if (!setup.calibrationFile.isEmpty() && cal.isFile()) {
                QFile in(setup.calibrationFile);
                if (!in.open(QIODevice::ReadOnly))
                    return QStringLiteral("Cannot read %1: %2")
                        .arg(cal.filePath(), in.errorString());
                calibrationName = cal.fileName();
                const QString e = saveBytes(dir.filePath(calibrationName), in.readAll());
                if (!e.isEmpty())
                    return e;
            }
            const QString command =
                commandLine(measureCommand(setup, *report, calibrationName, count));
            QString e =
                saveBytes(dir.filePath(QStringLiteral("measure.txt")), command.toUtf8() + '\n');
            if (e.isEmpty()) {
                const QByteArray script = "#!/bin/sh\n"
                                          "# Re-measures these frames as the window measured them; "
                                          "options given to the script are passed on.\n"
                                          "cd \"$(dirname \"$0\")\" || exit 2\n"
                                          "exec " +
                                          command.toUtf8() + " \"$@\"\n";
                const QString path = dir.filePath(QStringLiteral("measure.sh"));
                e = saveBytes(path, script);
                if (e.isEmpty())
                    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner |
                                                    QFile::ExeGroup | QFile::ExeOther);
            }
            if (e.isEmpty())
                e = saveBytes(dir.filePath(QStringLiteral("labels.json")),
                              lumetra::tool::frameJson(count, labels).toUtf8());
            return e;
        },
        false, true);
}

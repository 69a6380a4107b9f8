#include "Recorder.h"

#include "MeasureSession.h"
#include "ReportPdf.h"
#include "Results.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cmath>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumetra::session {

namespace ms = lumetra::measure;
using T = ms::ResultText;

namespace {

// How often the writer thread hands the pending rows to the file.
constexpr int kWriteEveryMs = 250;

const char* const kChannel[3] = {"R", "G", "B"};
const char* const kPair[3] = {"RG", "BG", "RB"};

void number(QByteArray& out, double v) {
    out += QByteArray::number(v, 'g', 8);
}

// A text cell: quoted when it holds a separator, a quote or a line break.
void text(QByteArray& out, const QString& s) {
    QByteArray b = s.toUtf8();
    if (b.contains(',') || b.contains('"') || b.contains('\n') || b.contains('\r')) {
        b.replace("\"", "\"\"");
        b = '"' + b + '"';
    }
    out += b;
}

// Whether a label shows a value (not "Processing...", "N/A" or left unchanged).
bool shows(const ms::ResultTexts& texts, T t) {
    const auto& s = texts[t];
    return s && !s->isEmpty() && *s != ms::kProcessingText && *s != ms::kNotAvailableText;
}

QString cornerName(const std::optional<ms::Corner>& c) {
    if (!c)
        return {};
    static const char* const names[4] = {"TL", "TR", "BL", "BR"};
    return QLatin1String(names[int(*c)]);
}

bool folderWritable(const QString& dir) {
    struct stat st {};
    const QByteArray d = QFile::encodeName(dir.isEmpty() ? QStringLiteral(".") : dir);
    if (::stat(d.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    // The mode bits too: a folder made read-only counts as such even for a privileged user.
    return ::access(d.constData(), W_OK) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH));
}

} // namespace

struct Recorder::Core {
    mutable std::mutex mutex;
    std::condition_variable wake;
    // Guarded by mutex.
    bool recording = false;
    bool stopping = false;
    QByteArray pending; // whole rows
    quint64 rows = 0;
    QString unit;
    QDateTime start;
    QString path;
    QString error;
    ms::StabilityStats stability;
    QElapsedTimer elapsed;
    double elapsedAtStop = 0;

    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t written = 0; // bytes of complete rows in the file
    std::thread writer;
    // The writer thread reports a fault through this (posted to the owner thread).
    std::function<void(QString)> onFault;

    void add(const ReportPtr& report);
    void writeLoop();
    // Writes the rows; the fault's text when it fails (the file then ends with its last
    // complete row). Writer thread only.
    QString writeRows(const QByteArray& rows);
    QString checkPlace() const;
};

QString Recorder::Core::checkPlace() const {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || st.st_dev != device ||
        st.st_ino != inode)
        return QStringLiteral("The recording file %1 or its folder was removed.").arg(path);
    if (!folderWritable(QFileInfo(path).absolutePath()))
        return QStringLiteral("The recording folder %1 is no longer writable.")
            .arg(QFileInfo(path).absolutePath());
    return {};
}

QString Recorder::Core::writeRows(const QByteArray& rows) {
    qsizetype done = 0;
    while (done < rows.size()) {
        const ssize_t n = ::write(fd, rows.constData() + done, size_t(rows.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Cut back to the last complete row so the file never ends in half a row.
            const qsizetype lastEnd = done > 0 ? rows.lastIndexOf('\n', done - 1) + 1 : 0;
            if (::ftruncate(fd, written + off_t(lastEnd)) == 0)
                ::lseek(fd, written + off_t(lastEnd), SEEK_SET);
            written += off_t(lastEnd);
            return QStringLiteral("The recording file %1 could not be written: %2.")
                .arg(path, QString::fromLocal8Bit(std::strerror(err)));
        }
        done += n;
    }
    written += off_t(rows.size());
    return {};
}

void Recorder::Core::writeLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait_for(lock, std::chrono::milliseconds(kWriteEveryMs), [&] { return stopping; });
        const bool last = stopping;
        QByteArray rows;
        rows.swap(pending);
        lock.unlock();
        QString fault = checkPlace();
        if (fault.isEmpty() && !rows.isEmpty())
            fault = writeRows(rows);
        lock.lock();
        if (!fault.isEmpty()) {
            if (recording)
                elapsedAtStop = elapsed.elapsed() / 1000.0;
            recording = false;
            pending.clear();
            if (error.isEmpty()) {
                error = fault;
                if (onFault)
                    onFault(fault);
            }
            return;
        }
        if (last)
            return;
    }
}

Recorder::Recorder(QObject* parent) : QObject(parent), m_core(std::make_shared<Core>()) {
    // A write beyond the file size limit must fail with an error, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    m_core->onFault = [this](QString message) {
        QMetaObject::invokeMethod(
            this,
            [this, message] {
                stop();
                emit failed(message);
            },
            Qt::QueuedConnection);
    };
}

Recorder::~Recorder() {
    QObject::disconnect(m_reports);
    QObject::disconnect(m_lost);
    stop();
}

void Recorder::attach(MeasureSession* session) {
    QObject::disconnect(m_reports);
    QObject::disconnect(m_lost);
    // The core, not the recorder, serves the measuring thread: it outlives a report being
    // handed over while the recorder is deleted.
    m_reports = connect(
        session, &MeasureSession::frameMeasured, this,
        [core = m_core](const ReportPtr& r) { core->add(r); }, Qt::DirectConnection);
    m_lost = connect(session, &MeasureSession::cameraLost, this, [this](const QString& name) {
        if (isRecording())
            fail(QStringLiteral("The camera %1 was lost; the recording stopped.").arg(name));
    });
}

bool Recorder::start(const QString& filePath, const QString& unit) {
    stop();
    Core& c = *m_core;
    const QFileInfo info(filePath);
    QString error;
    if (!QDir().mkpath(info.absolutePath()) || !folderWritable(info.absolutePath()))
        error =
            QStringLiteral("The recording folder %1 cannot be written.").arg(info.absolutePath());
    int fd = -1;
    if (error.isEmpty()) {
        fd = ::open(QFile::encodeName(filePath).constData(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            error = QStringLiteral("The recording file %1 could not be created: %2.")
                        .arg(filePath, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        error = QStringLiteral("The recording file %1 could not be created.").arg(filePath);
        ::close(fd);
        fd = -1;
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    c.error = error;
    if (!error.isEmpty())
        return false;
    c.fd = fd;
    c.device = st.st_dev;
    c.inode = st.st_ino;
    c.written = 0;
    c.path = filePath;
    c.unit = unit;
    c.rows = 0;
    c.stability.clear();
    c.start = QDateTime::currentDateTime();
    c.elapsed.start();
    c.pending = headerLine() + '\n';
    c.recording = true;
    c.stopping = false;
    c.writer = std::thread([&c] { c.writeLoop(); });
    return true;
}

void Recorder::stop() {
    Core& c = *m_core;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.writer.joinable())
            return;
        c.stopping = true;
        if (c.recording)
            c.elapsedAtStop = c.elapsed.elapsed() / 1000.0;
        c.recording = false;
    }
    c.wake.notify_all();
    c.writer.join();
    ::close(c.fd);
    c.fd = -1;
}

void Recorder::fail(const QString& message) {
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        if (m_core->error.isEmpty())
            m_core->error = message;
    }
    stop();
    emit failed(message);
}

void Recorder::addReport(const ReportPtr& report) {
    m_core->add(report);
}

void Recorder::Core::add(const ReportPtr& report) {
    if (!report)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (!recording)
        return;
    const double seconds = start.msecsTo(report->time) / 1000.0;
    pending += rowLine(*report, seconds, unit);
    pending += '\n';
    ++rows;
    stability.add(ms::stabilitySample(report->result, seconds));
}

bool Recorder::isRecording() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->recording;
}

QString Recorder::filePath() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->path;
}

quint64 Recorder::rows() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->rows;
}

double Recorder::elapsedSeconds() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (m_core->recording)
        return m_core->elapsed.elapsed() / 1000.0;
    return m_core->elapsedAtStop;
}

QString Recorder::errorString() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->error;
}

measure::StabilityFigures Recorder::stability() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->stability.figures();
}

QStringList Recorder::columns() {
    QStringList c{QStringLiteral("time (ISO 8601)"), QStringLiteral("seconds (s)"),
                  QStringLiteral("frame"),           QStringLiteral("Unit"),
                  QStringLiteral("serial"),          QStringLiteral("corner"),
                  QStringLiteral("exposure (us)"),   QStringLiteral("stabiliser depth"),
                  QStringLiteral("stabiliser full")};
    const char* const div[4] = {"all", "R", "G", "B"};
    for (const char* d : div)
        for (const char* axis : {"x", "y"})
            c << QStringLiteral("divergence %1 %2 (mrad)")
                     .arg(QLatin1String(d), QLatin1String(axis));
    for (const char* p : kPair)
        for (const char* axis : {"x", "y"})
            c << QStringLiteral("alignment %1 %2 (mrad)")
                     .arg(QLatin1String(p), QLatin1String(axis));
    for (const char* ch : kChannel)
        c << QStringLiteral("max %1 (%)").arg(QLatin1String(ch));
    for (const char* ch : kChannel)
        c << QStringLiteral("power %1 (W)").arg(QLatin1String(ch));
    c << QStringLiteral("power total (W)") << QStringLiteral("exposure warning");
    for (const char* ch : kChannel) {
        const QString b = QStringLiteral("analysis %1 ").arg(QLatin1String(ch));
        c << b + QStringLiteral("centroid x (mrad)") << b + QStringLiteral("centroid y (mrad)")
          << b + QStringLiteral("D4sigma x (mrad)") << b + QStringLiteral("D4sigma y (mrad)")
          << b + QStringLiteral("major (mrad)") << b + QStringLiteral("minor (mrad)")
          << b + QStringLiteral("azimuth (deg)") << b + QStringLiteral("ellipticity")
          << b + QStringLiteral("power (W)") << b + QStringLiteral("note");
    }
    for (const char* p : kPair)
        for (const char* axis : {"x", "y"})
            c << QStringLiteral("analysis alignment %1 %2 (mrad)")
                     .arg(QLatin1String(p), QLatin1String(axis));
    return c;
}

QByteArray Recorder::headerLine() {
    QByteArray out;
    const QStringList c = columns();
    for (int i = 0; i < c.size(); ++i) {
        if (i)
            out += ',';
        text(out, c[i]);
    }
    return out;
}

QByteArray Recorder::rowLine(const FrameReport& r, double seconds, const QString& unit) {
    const ms::FrameResult& res = r.result;
    const ms::ResultTexts& texts = res.texts;
    QByteArray out;
    out.reserve(1024);
    QDateTime t = r.time;
    t.setOffsetFromUtc(r.time.offsetFromUtc()); // the offset written out
    out += t.toString(Qt::ISODateWithMs).toLatin1();
    out += ',';
    out += QByteArray::number(seconds, 'f', 3);
    out += ',';
    out += QByteArray::number(r.sequence);
    out += ',';
    text(out, unit);
    out += ',';
    text(out, r.cameraSerial);
    out += ',';
    out += cornerName(r.corner).toLatin1();
    out += ',';
    number(out, r.exposureUs);
    out += ',';
    out += QByteArray::number(r.stabDepth);
    out += ',';
    out += r.stabCount >= r.stabDepth ? "1" : "0";
    const auto pair = [&](ms::PairIndex p) {
        const bool show = res.measured && shows(texts, ms::pairText(p));
        for (const float v : {res.pairs[p].x, res.pairs[p].y}) {
            out += ',';
            if (show)
                number(out, v);
        }
    };
    for (int p = ms::PairAll; p < ms::PairCount; ++p)
        pair(ms::PairIndex(p));
    const int maxima[3] = {res.maxR, res.maxG, res.maxB};
    const T peak[3] = {T::PeakRed, T::PeakGreen, T::PeakBlue};
    for (int c = 0; c < 3; ++c) {
        out += ',';
        if (res.measured && shows(texts, peak[c]))
            out += QByteArray::number(maxima[c] * 100 / 255);
    }
    const T power[4] = {T::PowerRed, T::PowerGreen, T::PowerBlue, T::PowerTotal};
    for (int c = 0; c < 4; ++c) {
        out += ',';
        const std::optional<double> w =
            c < 3 ? (res.power ? std::optional<double>((*res.power)[size_t(c)]) : std::nullopt)
                  : res.totalPower;
        if (res.measured && w && std::isfinite(*w) && shows(texts, power[c]))
            number(out, *w);
    }
    out += ',';
    text(out, texts.text(T::ExposureWarning));
    const ms::BeamAnalysisResult& a = res.analysis;
    for (size_t c = 0; c < 3; ++c) {
        const ms::BeamChannelResult& ch = a.channel[c];
        const bool has = a.analysed && ch.hasNumbers;
        for (const double v : {ch.centroidX, ch.centroidY, ch.d4SigmaX, ch.d4SigmaY, ch.major,
                               ch.minor, ch.azimuthDeg, ch.ellipticity}) {
            out += ',';
            if (has)
                number(out, v);
        }
        out += ',';
        if (has && ch.power && std::isfinite(*ch.power))
            number(out, *ch.power);
        out += ',';
        if (a.analysed)
            text(out, ch.reason);
    }
    for (size_t p = 0; p < 3; ++p) {
        const auto& al = a.alignment[p];
        for (int axis = 0; axis < 2; ++axis) {
            out += ',';
            if (a.analysed && al)
                number(out, axis == 0 ? al->x : al->y);
        }
    }
    return out;
}

QString Recorder::defaultFileName(const QString& serial, const QString& unit,
                                  const QDateTime& when) {
    // The report's name with the recording's suffix.
    QString name = defaultReportName(serial, unit, when);
    name.chop(4);
    return name + QStringLiteral(".csv");
}

} // namespace lumetra::session

#include "ToolFiles.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QMutex>
#include <QSaveFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumetra::tool {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The whole content of an open descriptor, at most limit bytes; false when there is more.
bool readAllBounded(int fd, qint64 limit, QByteArray* out, int* error) {
    out->clear();
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (n == 0)
            return true;
        if (out->size() + n > limit) {
            *error = EFBIG;
            return false;
        }
        out->append(chunk, n);
    }
}

struct SameFile {
    dev_t dev = 0;
    ino_t ino = 0;
};

bool identify(const QString& path, SameFile* id) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    return true;
}

bool g_foldStderr = false;

// While it lives, what libraries print straight to stderr (libpng's own error handler
// does) goes to a temporary file instead; text() then gives its first line.
class StderrFold {
public:
    StderrFold() {
        if (!g_foldStderr)
            return;
        std::fflush(stderr);
        m_file = std::tmpfile();
        m_saved = m_file ? ::dup(2) : -1;
        if (m_saved < 0 || ::dup2(::fileno(m_file), 2) < 0)
            restore();
    }
    ~StderrFold() { restore(); }
    StderrFold(const StderrFold&) = delete;
    StderrFold& operator=(const StderrFold&) = delete;

    QString firstLine() {
        if (!m_file || m_saved < 0)
            return QString();
        std::fflush(stderr);
        char line[256] = {};
        std::rewind(m_file);
        if (!std::fgets(line, sizeof line, m_file))
            return QString();
        return QString::fromLocal8Bit(line).simplified();
    }

private:
    void restore() {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
        if (m_file) {
            std::fclose(m_file);
            m_file = nullptr;
        }
    }

    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

QString withDetail(const QString& text, const QString& detail) {
    return detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, detail);
}

QMutex g_messagesMutex;
QString g_firstMessage;
QtMessageHandler g_previousHandler = nullptr;

void catchMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
    const QMutexLocker lock(&g_messagesMutex);
    if (g_firstMessage.isEmpty())
        g_firstMessage = message.simplified().left(200);
}

} // namespace

QImage decodeFrame(const QByteArray& bytes, QString* error) {
    QByteArray data = bytes; // QBuffer needs a non-const array; the copy shares its data
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxFrameSide || size.height() > kMaxFrameSide ||
                           qint64(size.width()) * size.height() > kMaxFramePixels)) {
        *error = QStringLiteral("%1 x %2 pixels is larger than a frame can be")
                     .arg(size.width())
                     .arg(size.height());
        return QImage();
    }
    QImage image = reader.read();
    if (image.isNull()) {
        *error = reader.errorString();
        return QImage();
    }
    if (image.width() > kMaxFrameSide || image.height() > kMaxFrameSide) {
        *error = QStringLiteral("%1 x %2 pixels is larger than a frame can be")
                     .arg(image.width())
                     .arg(image.height());
        return QImage();
    }
    return image;
}

QImage readFrameFile(const QString& path, QString* error) {
    const auto failed = [&](const QString& why) {
        *error = QStringLiteral("cannot read frame %1: %2").arg(path, why);
        return QImage();
    };
    // Opened without blocking and checked on the descriptor itself, so a named pipe or a
    // device swapped in after a look at the name cannot stall the run.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        return failed(e == ENOENT ? QStringLiteral("no such file") : systemError(e));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return failed(systemError(e));
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return failed(QStringLiteral("it is a folder, not an image file"));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed(QStringLiteral("not a regular file (a named pipe, socket or device)"));
    }
    if (st.st_size > kMaxFrameFileBytes) {
        ::close(fd);
        return failed(QStringLiteral("larger than %1 MiB").arg(kMaxFrameFileBytes >> 20));
    }
    QByteArray bytes;
    int readError = 0;
    const bool complete = readAllBounded(fd, kMaxFrameFileBytes, &bytes, &readError);
    ::close(fd);
    if (!complete) {
        return failed(readError == EFBIG
                          ? QStringLiteral("larger than %1 MiB").arg(kMaxFrameFileBytes >> 20)
                          : systemError(readError));
    }
    QString why;
    StderrFold fold;
    QImage image = decodeFrame(bytes, &why);
    if (image.isNull())
        return failed(withDetail(why, fold.firstLine()));
    return image;
}

QByteArray outputFormat(const QString& path, const QStringList& inputs, QString* error) {
    const QFileInfo info(path);
    const QByteArray suffix = info.suffix().toLower().toLatin1();
    if (suffix.isEmpty() || !QImageWriter::supportedImageFormats().contains(suffix)) {
        *error = QStringLiteral("--corrected %1: the suffix must name an image format that "
                                "can be written (.png, .bmp, ...)")
                     .arg(path);
        return QByteArray();
    }
    // A symbolic link is followed: what matters is what would be replaced.
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("--corrected %1: not a regular file").arg(path);
        return QByteArray();
    }
    SameFile target;
    if (identify(path, &target)) {
        for (const QString& input : inputs) {
            SameFile in;
            if (identify(input, &in) && in.dev == target.dev && in.ino == target.ino) {
                *error =
                    QStringLiteral("--corrected %1 would overwrite the input %2").arg(path, input);
                return QByteArray();
            }
        }
    }
    return suffix;
}

bool writeImageFile(const QImage& image, const QString& path, const QByteArray& format,
                    QString* error) {
    // Encoded in memory first: the image writers do not all report a failed device write.
    QByteArray encoded;
    {
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        StderrFold fold;
        if (!writer.write(image)) {
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(path, withDetail(writer.errorString(), fold.firstLine()));
            return false;
        }
    }
    QSaveFile file(path);
    // Never fall back to writing the target in place: a failure would leave it truncated.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    // QSaveFile::commit() ignores a failed final flush (a partial write past a size
    // limit or a full disk): flushed and checked here first.
    if (file.write(encoded) != encoded.size() || !file.flush()) {
        const QString why = file.errorString();
        *error = QStringLiteral("cannot write %1: %2")
                     .arg(path, why.isEmpty() ? QStringLiteral("write failed") : why);
        file.cancelWriting();
        file.commit(); // removes the temporary file
        return false;
    }
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void foldLibraryStderr(bool fold) {
    g_foldStderr = fold;
}

LibraryMessages::LibraryMessages() {
    const QMutexLocker lock(&g_messagesMutex);
    g_firstMessage.clear();
    g_previousHandler = qInstallMessageHandler(catchMessage);
}

LibraryMessages::~LibraryMessages() {
    qInstallMessageHandler(g_previousHandler);
}

QString LibraryMessages::take() {
    const QMutexLocker lock(&g_messagesMutex);
    return std::exchange(g_firstMessage, QString());
}

} // namespace lumetra::tool

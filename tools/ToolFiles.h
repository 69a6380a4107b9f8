#pragma once
// The files lumetra-measure reads and writes: frames come only from regular files of a
// bounded size, and the corrected image reaches its name complete or not at all. Every
// failure is one line of text for stderr.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace lumetra::tool {

// Frames larger than this are refused before anything is decoded.
constexpr qint64 kMaxFrameFileBytes = 256LL * 1024 * 1024;
// Larger images are refused before their pixels are allocated.
constexpr int kMaxFrameSide = 16384;
constexpr qint64 kMaxFramePixels = 32LL * 1024 * 1024;

// Decodes a frame from the bytes of an image file; a null image and *error set when the
// bytes are not a usable image.
QImage decodeFrame(const QByteArray& bytes, QString* error);

// Reads one frame file; a null image and *error set (the whole stderr line) on failure.
// Anything that is not a regular file (folder, named pipe, device) is refused without
// blocking on it.
QImage readFrameFile(const QString& path, QString* error);

// The image format the output name asks for by its suffix ("png", "bmp", ...); empty and
// *error set when the suffix names no format that can be written, or when the name is one
// of the inputs, or something other than a regular file already has it.
QByteArray outputFormat(const QString& path, const QStringList& inputs, QString* error);

// Writes the image through a temporary file beside the target, checking every write and
// the close, and renames it into place; on failure nothing is left and *error is set.
bool writeImageFile(const QImage& image, const QString& path, const QByteArray& format,
                    QString* error);

// true: while frames are decoded and images encoded, what the libraries print straight to
// stderr is kept back, and a failure adds its first line to the one stderr line. Only
// for the program itself: a fuzzer or sanitizer must keep its own reports on stderr.
void foldLibraryStderr(bool fold);

// Library messages (Qt's image plugins, libpng) caught while it lives: they never reach
// stderr by themselves; a failure may add the first of them to its one line.
class LibraryMessages {
public:
    LibraryMessages();
    ~LibraryMessages();
    LibraryMessages(const LibraryMessages&) = delete;
    LibraryMessages& operator=(const LibraryMessages&) = delete;

    // The first message caught since the last take(), simplified; empty when none.
    QString take();
};

} // namespace lumetra::tool

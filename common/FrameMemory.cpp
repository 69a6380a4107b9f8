#include "FrameMemory.h"

#include <cstdlib> // any C library header: it defines __GLIBC__ when the library is glibc
#include <mutex>
#include <new>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace lumetra {

void keepFreedFrameMemory() {
#if defined(__GLIBC__)
    // Blocks below 32 MB (a 1920 x 1200 frame is 9 MB as RGB32) come from the heap, and up
    // to 128 MB freed at a heap's end stays there. What stays is used again by the next
    // frames, so the process grows by at most that and no further.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
#endif
}

struct ImagePool::Shared {
    std::mutex mutex;
    size_t keep;
    size_t bytes = 0; // of each kept buffer
    std::vector<std::unique_ptr<uchar[]>> free;
};

namespace {

struct Lease {
    std::shared_ptr<ImagePool::Shared> pool;
    std::unique_ptr<uchar[]> data;
    size_t bytes;
};

// Runs where the last copy of the image goes, in any thread.
void giveBack(void* info) {
    std::unique_ptr<Lease> lease(static_cast<Lease*>(info));
    ImagePool::Shared& s = *lease->pool;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ImagePool::recycles() && lease->bytes == s.bytes && s.free.size() < s.keep)
        s.free.push_back(std::move(lease->data));
}

} // namespace

ImagePool::ImagePool(size_t keep) : m_shared(std::make_shared<Shared>()) {
    m_shared->keep = keep;
}

bool ImagePool::recycles() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

QImage ImagePool::take(int width, int height) {
    if (width <= 0 || height <= 0)
        return QImage();
    // QImage's own line length for RGB888: whole 32-bit words.
    const qsizetype bpl = (qsizetype(width) * 3 + 3) & ~qsizetype(3);
    const size_t bytes = size_t(bpl) * size_t(height);
    auto lease = std::make_unique<Lease>();
    lease->pool = m_shared;
    lease->bytes = bytes;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->bytes != bytes) {
            m_shared->free.clear();
            m_shared->bytes = bytes;
        }
        if (!m_shared->free.empty()) {
            lease->data = std::move(m_shared->free.back());
            m_shared->free.pop_back();
        }
    }
    if (!lease->data) {
        lease->data.reset(new (std::nothrow) uchar[bytes]); // not cleared: every byte is written
        if (!lease->data)
            return QImage();
    }
    uchar* data = lease->data.get();
    return QImage(data, width, height, bpl, QImage::Format_RGB888, giveBack, lease.release());
}

} // namespace lumetra

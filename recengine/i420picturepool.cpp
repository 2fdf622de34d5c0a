#include "i420picturepool.h"

#include <algorithm>
#include <new>

#include <sys/mman.h>

CI420PicturePool::CPicture::CPicture(int nWidth, int nHeight)
    : m_nWidth(nWidth),
      m_nHeight(nHeight),
      m_nBytes(I420Planes::PackedBytes(nWidth, nHeight)) {
    // A mapping starts on a page, which also suits the vector loads.
    const std::size_t mapped = std::max<std::size_t>(m_nBytes, 1);
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    m_pData = std::unique_ptr<std::uint8_t, Unmap>(static_cast<std::uint8_t*>(p), Unmap(mapped));
}

void CI420PicturePool::CPicture::Unmap::operator()(std::uint8_t* p) const {
    if (p) munmap(p, nBytes);
}

I420Planes CI420PicturePool::CPicture::Planes() const {
    return I420Planes::Packed(m_pData.get(), m_nWidth, m_nHeight);
}

CI420PicturePool::CPicture* CI420PicturePool::Acquire(int nWidth, int nHeight, const CPicture* pKeep) {
    CPicture* found = nullptr;
    std::size_t spare = 0;
    // Free pictures of another size go; of the right size, one is taken and
    // at most kMaxSpare stay.
    auto unused = [&](const std::unique_ptr<CPicture>& p) {
        if (p.get() == pKeep || !IsFree(p.get())) return false;
        if (p->m_nWidth != nWidth || p->m_nHeight != nHeight) return true;
        if (!found) {
            found = p.get();
            return false;
        }
        return ++spare > kMaxSpare;
    };
    m_pictures.erase(std::remove_if(m_pictures.begin(), m_pictures.end(), unused), m_pictures.end());
    if (found) return found;
    m_pictures.push_back(std::make_unique<CPicture>(nWidth, nHeight));
    return m_pictures.back().get();
}

bool CI420PicturePool::IsFree(const CPicture* pPicture) {
    // Acquire: the readers' last reads happen before the owner's writes.
    return pPicture->m_nReaders.load(std::memory_order_acquire) == 0;
}

std::shared_ptr<const void> CI420PicturePool::Lease(CPicture* pPicture) {
    pPicture->m_nReaders.fetch_add(1, std::memory_order_relaxed);
    return std::shared_ptr<const void>(pPicture->Data(), [pPicture](const void*) {
        pPicture->m_nReaders.fetch_sub(1, std::memory_order_release);
    });
}

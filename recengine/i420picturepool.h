// CI420PicturePool: reusable I420 picture buffers for the video path, so
// that a recording allocates (and the kernel clears) picture memory once
// rather than for every picture.
//
// Threads: Acquire, Trim and the destructor under the owner's lock (the
// pushing side). A picture is read elsewhere (the encoding thread) only
// through a lease: Lease counts a reader and returns a keep-alive whose
// release uncounts it; IsFree tells the owner that no lease is left, after
// which it may write the picture. The pool must outlive every lease.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bgratoi420.h"

class CI420PicturePool {
public:
    class CPicture {
    public:
        CPicture(int nWidth, int nHeight);
        int Width() const { return m_nWidth; }
        int Height() const { return m_nHeight; }
        std::uint8_t* Data() const { return m_pData.get(); }
        // Bytes of the tightly packed planes (Y, then U, then V).
        std::size_t Bytes() const { return m_nBytes; }
        I420Planes Planes() const;

    private:
        friend class CI420PicturePool;
        // Pictures are mapped pages of their own, so that a picture let go
        // after a backlog gives its memory back to the system at once (from
        // malloc's heap it would stay resident).
        struct Unmap {
            Unmap() : nBytes(0) {}
            explicit Unmap(std::size_t n) : nBytes(n) {}
            void operator()(std::uint8_t* p) const;
            std::size_t nBytes;
        };
        int m_nWidth;
        int m_nHeight;
        std::size_t m_nBytes;
        std::unique_ptr<std::uint8_t, Unmap> m_pData;
        std::atomic<int> m_nReaders{0};
    };

    // A picture of that size that no lease reads and that is not pKeep:
    // a spare one, else a new one.
    CPicture* Acquire(int nWidth, int nHeight, const CPicture* pKeep);
    // True when no lease of the picture is left (its readers are done).
    static bool IsFree(const CPicture* pPicture);
    // Counts a reader until the returned keep-alive is released.
    static std::shared_ptr<const void> Lease(CPicture* pPicture);
    // Pictures allocated and not yet released.
    std::size_t Count() const { return m_pictures.size(); }

private:
    // Spare pictures kept beyond the ones in use.
    static constexpr std::size_t kMaxSpare = 2;
    std::vector<std::unique_ptr<CPicture>> m_pictures;
};

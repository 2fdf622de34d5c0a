// CDataPackage: a chain of reference-counted byte blocks with read and write
// pointers. "Length" is the readable bytes between the read and the write
// pointer over the whole chain; "space" is the free room behind the write
// pointer of the last block. Packages never grow: an operation without enough
// data or room returns a non-zero code and moves nothing. Holders of one block
// (duplicates, pieces cut by Disjoint) share its bytes but not its free room:
// the first holder to write behind the common end claims the room, the others
// then see no space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "basekit/resultcodes.h"

namespace basekit {
struct DataBlock;
}

class CDataPackage {
public:
    enum {
        FLAG_NONE = 0,  // allocate `size` bytes of room (copying `data` when given)
        FLAG_WRAP = 1,  // wrap `size` bytes at `data`, `length` of them readable, without copying
    };

    // Result codes of the package operations.
    enum {
        PKG_OK = 0,
        PKG_NOT_ENOUGH = UC_ERR_NO_ROOM,  // not enough readable bytes or free room
        PKG_BAD_ARG = UC_ERR_BAD_ARGUMENT,
    };

    explicit CDataPackage(std::size_t size = 0, const void* data = nullptr, int flags = FLAG_NONE,
                          std::size_t length = 0);
    // Releases this node's own block only; packages appended behind it stay with
    // their owners (a package living in a caller's frame never frees a chain).
    ~CDataPackage();

    CDataPackage(const CDataPackage&) = delete;
    CDataPackage& operator=(const CDataPackage&) = delete;

    // A new heap chain sharing every block by reference count, with the same
    // read and write positions. Release it with DestroyPackage().
    CDataPackage* DuplicatePackage() const;
    // A new heap package of one block owning a copy of every readable byte of
    // `source` (an empty one for null), for holders that keep data past the
    // life of a buffer they were handed. Release it with DestroyPackage().
    static CDataPackage* CopyPackage(const CDataPackage* source);
    // Deletes this heap package and every package chained behind it.
    void DestroyPackage();

    // Links `package` itself (no copy) behind the last block of this chain.
    void Append(CDataPackage* package);
    CDataPackage* GetNext() const { return m_pNext; }

    std::size_t GetPackageLength() const;
    std::size_t GetPackageSpace() const;

    int Write(const void* src, std::size_t n, std::size_t* written = nullptr);
    // advance 1 consumes the bytes, 0 leaves the read pointer where it is.
    int Read(void* dst, std::size_t n, std::size_t* read = nullptr, int advance = 1);
    // Copies n bytes starting `offset` bytes past the read pointer; moves nothing.
    int Peek(void* dst, std::size_t n, std::size_t offset = 0, std::size_t* read = nullptr) const;

    int AdvancePackageReadPtr(std::size_t n, std::size_t* moved = nullptr);
    int AdvancePackageWritePtr(std::size_t n, std::size_t* moved = nullptr);

    // Cuts the chain `offset` readable bytes past the read pointer and returns
    // the tail (the bytes behind the cut and the free room) as a new heap
    // package; null when offset is beyond the length.
    CDataPackage* Disjoint(std::size_t offset);

    // The readable bytes of the chain as one byte string.
    std::string FlattenPackage() const;

    // Direct access for zero-copy writers and readers: the first readable byte
    // (in the first node that has one) and the first free byte behind the
    // write pointer of the last node; null for a node without a block.
    std::uint8_t* GetReadPtr() const;
    std::uint8_t* GetWritePtr() const;

private:
    struct EmptyNode {};
    explicit CDataPackage(EmptyNode);  // a node without a block, for the chain operations
    CDataPackage* Last();
    const CDataPackage* Last() const;
    std::size_t NodeLength() const { return m_nWrite - m_nRead; }
    std::size_t NodeSpace() const;
    void ReleaseBlock();

    basekit::DataBlock* m_pBlock = nullptr;
    std::size_t m_nRead = 0;   // offset of the read pointer in the block
    std::size_t m_nWrite = 0;  // offset of the write pointer in the block
    std::size_t m_nEnd = 0;    // end of the room this node may write to
    CDataPackage* m_pNext = nullptr;
};

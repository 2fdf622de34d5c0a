#include "basekit/datapackage.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace basekit {

// One block of bytes shared by every package node that refers to it. Owned
// blocks are allocated together with their header.
struct DataBlock {
    std::atomic<unsigned> refs{1};
    // Highest offset any holder has written to. The room behind it belongs to
    // the holder whose write pointer stands there: the first to write claims
    // it, so a duplicate never overwrites what another holder wrote.
    std::atomic<std::size_t> used{0};
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    bool owned = false;

    // Claims [from, from + n) for the holder whose write pointer is at `from`.
    bool Claim(std::size_t from, std::size_t n) {
        std::size_t expected = from;
        return used.compare_exchange_strong(expected, from + n, std::memory_order_acq_rel);
    }

    static DataBlock* Allocate(std::size_t size) {
        void* mem = std::malloc(sizeof(DataBlock) + (size ? size : 1));
        if (!mem) throw std::bad_alloc();
        auto* b = new (mem) DataBlock;
        b->data = reinterpret_cast<std::uint8_t*>(b + 1);
        b->capacity = size;
        b->owned = true;
        return b;
    }
    static DataBlock* Wrap(const void* data, std::size_t size) {
        void* mem = std::malloc(sizeof(DataBlock));
        if (!mem) throw std::bad_alloc();
        auto* b = new (mem) DataBlock;
        b->data = static_cast<std::uint8_t*>(const_cast<void*>(data));
        b->capacity = size;
        return b;
    }
    void AddRef() { refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~DataBlock();
            std::free(this);
        }
    }
};

}  // namespace basekit

using basekit::DataBlock;

CDataPackage::CDataPackage(EmptyNode) {}

CDataPackage::CDataPackage(std::size_t size, const void* data, int flags, std::size_t length) {
    if (flags & FLAG_WRAP) {
        if (!data) size = length = 0;  // nothing to wrap
        m_pBlock = DataBlock::Wrap(data, size);
        m_nWrite = std::min(length, size);
    } else {
        m_pBlock = DataBlock::Allocate(size);
        if (data && length) {
            m_nWrite = std::min(length, size);
            std::memcpy(m_pBlock->data, data, m_nWrite);
        }
    }
    m_nEnd = size;
    m_pBlock->used.store(m_nWrite, std::memory_order_relaxed);
}

CDataPackage::~CDataPackage() { ReleaseBlock(); }

void CDataPackage::ReleaseBlock() {
    if (m_pBlock) m_pBlock->Release();
    m_pBlock = nullptr;
    m_nRead = m_nWrite = m_nEnd = 0;
}

CDataPackage* CDataPackage::CopyPackage(const CDataPackage* source) {
    std::size_t length = source ? source->GetPackageLength() : 0;
    auto* copy = new CDataPackage(length);
    if (length && source->Peek(copy->GetWritePtr(), length) == PKG_OK)
        copy->AdvancePackageWritePtr(length);
    return copy;
}

CDataPackage* CDataPackage::DuplicatePackage() const {
    CDataPackage* head = nullptr;
    CDataPackage* tail = nullptr;
    for (const CDataPackage* p = this; p; p = p->m_pNext) {
        auto* copy = new CDataPackage(EmptyNode{});
        copy->m_pBlock = p->m_pBlock;
        if (copy->m_pBlock) copy->m_pBlock->AddRef();
        copy->m_nRead = p->m_nRead;
        copy->m_nWrite = p->m_nWrite;
        copy->m_nEnd = p->m_nEnd;
        if (tail)
            tail->m_pNext = copy;
        else
            head = copy;
        tail = copy;
    }
    return head;
}

void CDataPackage::DestroyPackage() {
    CDataPackage* p = this;
    while (p) {
        CDataPackage* next = p->m_pNext;
        p->m_pNext = nullptr;
        delete p;
        p = next;
    }
}

void CDataPackage::Append(CDataPackage* package) {
    if (!package || package == this) return;
    Last()->m_pNext = package;
}

CDataPackage* CDataPackage::Last() {
    CDataPackage* p = this;
    while (p->m_pNext) p = p->m_pNext;
    return p;
}

const CDataPackage* CDataPackage::Last() const {
    const CDataPackage* p = this;
    while (p->m_pNext) p = p->m_pNext;
    return p;
}

std::size_t CDataPackage::GetPackageLength() const {
    std::size_t n = 0;
    for (const CDataPackage* p = this; p; p = p->m_pNext) n += p->NodeLength();
    return n;
}

std::size_t CDataPackage::NodeSpace() const {
    if (!m_pBlock || m_pBlock->used.load(std::memory_order_acquire) != m_nWrite) return 0;
    return m_nEnd - m_nWrite;
}

std::size_t CDataPackage::GetPackageSpace() const { return Last()->NodeSpace(); }

int CDataPackage::Write(const void* src, std::size_t n, std::size_t* written) {
    if (n && !src) return PKG_BAD_ARG;
    CDataPackage* last = Last();
    if (n && (last->NodeSpace() < n || !last->m_pBlock->Claim(last->m_nWrite, n)))
        return PKG_NOT_ENOUGH;
    if (n) std::memcpy(last->m_pBlock->data + last->m_nWrite, src, n);
    last->m_nWrite += n;
    if (written) *written = n;
    return PKG_OK;
}

int CDataPackage::Peek(void* dst, std::size_t n, std::size_t offset, std::size_t* read) const {
    if (GetPackageLength() < offset + n || offset + n < offset) return PKG_NOT_ENOUGH;
    if (n && !dst) return PKG_BAD_ARG;
    auto* out = static_cast<std::uint8_t*>(dst);
    std::size_t left = n;
    for (const CDataPackage* p = this; p && left; p = p->m_pNext) {
        std::size_t len = p->NodeLength();
        if (offset >= len) {
            offset -= len;
            continue;
        }
        std::size_t take = std::min(len - offset, left);
        std::memcpy(out, p->m_pBlock->data + p->m_nRead + offset, take);
        out += take;
        left -= take;
        offset = 0;
    }
    if (read) *read = n;
    return PKG_OK;
}

int CDataPackage::Read(void* dst, std::size_t n, std::size_t* read, int advance) {
    int rv = Peek(dst, n, 0, read);
    if (rv != PKG_OK) return rv;
    if (advance) AdvancePackageReadPtr(n, nullptr);
    return PKG_OK;
}

int CDataPackage::AdvancePackageReadPtr(std::size_t n, std::size_t* moved) {
    if (GetPackageLength() < n) return PKG_NOT_ENOUGH;
    std::size_t left = n;
    for (CDataPackage* p = this; p && left; p = p->m_pNext) {
        std::size_t take = std::min(p->NodeLength(), left);
        p->m_nRead += take;
        left -= take;
    }
    if (moved) *moved = n;
    return PKG_OK;
}

int CDataPackage::AdvancePackageWritePtr(std::size_t n, std::size_t* moved) {
    CDataPackage* last = Last();
    if (n && (last->NodeSpace() < n || !last->m_pBlock->Claim(last->m_nWrite, n)))
        return PKG_NOT_ENOUGH;
    last->m_nWrite += n;
    if (moved) *moved = n;
    return PKG_OK;
}

CDataPackage* CDataPackage::Disjoint(std::size_t offset) {
    if (offset > GetPackageLength()) return nullptr;
    CDataPackage* p = this;
    while (offset > p->NodeLength()) {
        offset -= p->NodeLength();
        p = p->m_pNext;
    }
    auto* tail = new CDataPackage(EmptyNode{});
    tail->m_pBlock = p->m_pBlock;
    if (tail->m_pBlock) tail->m_pBlock->AddRef();
    tail->m_nRead = p->m_nRead + offset;
    tail->m_nWrite = p->m_nWrite;
    tail->m_nEnd = p->m_nEnd;
    tail->m_pNext = p->m_pNext;
    p->m_nWrite = p->m_nRead + offset;
    p->m_nEnd = p->m_nWrite;  // the room behind the cut now belongs to the tail
    p->m_pNext = nullptr;
    return tail;
}

std::string CDataPackage::FlattenPackage() const {
    std::string out(GetPackageLength(), '\0');
    if (!out.empty()) Peek(out.data(), out.size(), 0, nullptr);
    return out;
}

std::uint8_t* CDataPackage::GetReadPtr() const {
    const CDataPackage* p = this;
    while (p->NodeLength() == 0 && p->m_pNext) p = p->m_pNext;
    return p->m_pBlock ? p->m_pBlock->data + p->m_nRead : nullptr;
}

std::uint8_t* CDataPackage::GetWritePtr() const {
    const CDataPackage* last = Last();
    return last->m_pBlock ? last->m_pBlock->data + last->m_nWrite : nullptr;
}

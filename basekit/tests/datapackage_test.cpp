#include "basekit/datapackage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

CDataPackage* HeapPackage(const std::string& bytes, std::size_t room) {
    return new CDataPackage(room, bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
}

// Length, space and content, to show that a failed call moved nothing.
struct Snapshot {
    std::size_t length;
    std::size_t space;
    std::string bytes;
    explicit Snapshot(const CDataPackage& p)
        : length(p.GetPackageLength()), space(p.GetPackageSpace()), bytes(p.FlattenPackage()) {}
    bool operator==(const Snapshot&) const = default;
};

}  // namespace

TEST(DataPackage, ConstructionAllocatesCopiesOrWraps) {
    CDataPackage empty(16);
    EXPECT_EQ(empty.GetPackageLength(), 0u);
    EXPECT_EQ(empty.GetPackageSpace(), 16u);
    EXPECT_EQ(empty.FlattenPackage(), "");

    char source[] = "abc";
    CDataPackage copied(8, source, CDataPackage::FLAG_NONE, 3);
    source[0] = 'z';
    EXPECT_EQ(copied.FlattenPackage(), "abc");
    EXPECT_EQ(copied.GetPackageSpace(), 5u);

    char buf[8] = {'a', 'b', 'c', 'd', 0, 0, 0, 0};
    CDataPackage wrapped(sizeof buf, buf, CDataPackage::FLAG_WRAP, 4);
    EXPECT_EQ(wrapped.GetReadPtr(), reinterpret_cast<std::uint8_t*>(buf));
    EXPECT_EQ(wrapped.GetPackageLength(), 4u);
    EXPECT_EQ(wrapped.GetPackageSpace(), 4u);
    buf[0] = 'z';
    EXPECT_EQ(wrapped.FlattenPackage(), "zbcd");
    ASSERT_EQ(wrapped.Write("XY", 2), 0);
    EXPECT_EQ(std::string(buf + 4, 2), "XY");
}

TEST(DataPackage, OperationsGiveTheirResultsAndFailuresMoveNothing) {
    CDataPackage p(8);
    std::size_t n = 99;
    ASSERT_EQ(p.Write("abcde", 5, &n), 0);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(p.GetPackageLength(), 5u);
    EXPECT_EQ(p.GetPackageSpace(), 3u);

    Snapshot before(p);
    n = 99;
    EXPECT_NE(p.Write("wxyz", 4, &n), 0);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(Snapshot(p), before);

    char out[8] = {};
    ASSERT_EQ(p.Peek(out, 3, 1, &n), 0);
    EXPECT_EQ(std::string(out, 3), "bcd");
    EXPECT_EQ(n, 3u);
    EXPECT_NE(p.Peek(out, 3, 3), 0);
    EXPECT_NE(p.Peek(out, 1, static_cast<std::size_t>(-1)), 0);  // offset + n wraps around
    EXPECT_EQ(Snapshot(p), before);

    ASSERT_EQ(p.Read(out, 2, &n, 0), 0);
    EXPECT_EQ(std::string(out, 2), "ab");
    EXPECT_EQ(Snapshot(p), before);
    ASSERT_EQ(p.Read(out, 2, &n, 1), 0);
    EXPECT_EQ(std::string(out, 2), "ab");
    EXPECT_EQ(p.FlattenPackage(), "cde");

    Snapshot afterRead(p);
    n = 99;
    EXPECT_NE(p.Read(out, 4, &n), 0);
    EXPECT_EQ(n, 99u);
    EXPECT_NE(p.AdvancePackageReadPtr(4, &n), 0);
    EXPECT_NE(p.AdvancePackageWritePtr(4, &n), 0);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(Snapshot(p), afterRead);

    ASSERT_EQ(p.AdvancePackageReadPtr(1, &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(p.FlattenPackage(), "de");
    std::memcpy(p.GetWritePtr(), "fgh", 3);
    ASSERT_EQ(p.AdvancePackageWritePtr(3, &n), 0);
    EXPECT_EQ(p.FlattenPackage(), "defgh");
    EXPECT_EQ(p.GetPackageSpace(), 0u);
    EXPECT_NE(p.Write("i", 1), 0);
}

TEST(DataPackage, ChainReadsAcrossBlocksAndWritesIntoTheLast) {
    CDataPackage* head = HeapPackage("abcd", 4);
    head->Append(HeapPackage("efgh", 4));
    head->Append(HeapPackage("ij", 8));
    EXPECT_EQ(head->GetPackageLength(), 10u);
    EXPECT_EQ(head->GetPackageSpace(), 6u);
    ASSERT_EQ(head->Write("kl", 2), 0);
    EXPECT_EQ(head->FlattenPackage(), "abcdefghijkl");

    char out[16] = {};
    ASSERT_EQ(head->Peek(out, 4, 2), 0);
    EXPECT_EQ(std::string(out, 4), "cdef");
    ASSERT_EQ(head->Read(out, 6), 0);
    EXPECT_EQ(std::string(out, 6), "abcdef");
    EXPECT_EQ(*head->GetReadPtr(), 'g');  // the first block is used up
    ASSERT_EQ(head->AdvancePackageReadPtr(3), 0);
    EXPECT_EQ(head->FlattenPackage(), "jkl");
    Snapshot before(*head);
    EXPECT_NE(head->Read(out, 4), 0);
    EXPECT_EQ(Snapshot(*head), before);
    head->DestroyPackage();  // releases all three blocks (checked by the leak sanitizer)
}

TEST(DataPackage, DisjointCutsInsideABlockAtABoundaryAndAtTheEnd) {
    CDataPackage* p = HeapPackage("0123456789", 16);
    CDataPackage* tail = p->Disjoint(4);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(p->FlattenPackage(), "0123");
    EXPECT_EQ(p->GetPackageSpace(), 0u);  // the room went with the tail
    EXPECT_EQ(tail->FlattenPackage(), "456789");
    EXPECT_EQ(tail->GetPackageSpace(), 6u);
    ASSERT_EQ(tail->Write("ab", 2), 0);
    EXPECT_EQ(tail->FlattenPackage(), "456789ab");
    EXPECT_EQ(p->FlattenPackage(), "0123");
    EXPECT_NE(p->Write("x", 1), 0);
    tail->DestroyPackage();
    p->DestroyPackage();

    CDataPackage* chain = HeapPackage("abcd", 4);
    chain->Append(HeapPackage("efgh", 4));
    chain->Append(HeapPackage("ijkl", 4));
    CDataPackage* mid = chain->Disjoint(6);
    EXPECT_EQ(chain->FlattenPackage(), "abcdef");
    EXPECT_EQ(mid->FlattenPackage(), "ghijkl");
    CDataPackage* boundary = mid->Disjoint(2);
    EXPECT_EQ(mid->FlattenPackage(), "gh");
    EXPECT_EQ(boundary->FlattenPackage(), "ijkl");
    boundary->DestroyPackage();
    mid->DestroyPackage();

    CDataPackage* end = chain->Disjoint(6);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->GetPackageLength(), 0u);
    EXPECT_EQ(chain->FlattenPackage(), "abcdef");
    end->DestroyPackage();

    Snapshot before(*chain);
    EXPECT_EQ(chain->Disjoint(7), nullptr);
    EXPECT_EQ(Snapshot(*chain), before);
    CDataPackage* all = chain->Disjoint(0);
    EXPECT_EQ(chain->GetPackageLength(), 0u);
    EXPECT_EQ(all->FlattenPackage(), "abcdef");
    all->DestroyPackage();
    chain->DestroyPackage();
}

TEST(DataPackage, DuplicateSharesTheBytesAndKeepsThemAlive) {
    CDataPackage* p = HeapPackage("abcd", 8);
    p->Append(HeapPackage("ef", 2));
    CDataPackage* dup = p->DuplicatePackage();
    EXPECT_EQ(dup->GetReadPtr(), p->GetReadPtr());
    EXPECT_EQ(dup->FlattenPackage(), "abcdef");
    ASSERT_EQ(dup->AdvancePackageReadPtr(5), 0);
    EXPECT_EQ(dup->FlattenPackage(), "f");
    EXPECT_EQ(p->FlattenPackage(), "abcdef");
    p->DestroyPackage();
    EXPECT_EQ(dup->FlattenPackage(), "f");  // the blocks live on in the copy
    dup->DestroyPackage();
}

TEST(DataPackage, AppendToAStackPackageLeavesTheHeapTailWithItsOwner) {
    CDataPackage* tail = HeapPackage("cd", 2);
    CDataPackage neighbour(2, "ef", CDataPackage::FLAG_NONE, 2);
    {
        CDataPackage head(2, "ab", CDataPackage::FLAG_NONE, 2);
        head.Append(tail);
        head.Append(&neighbour);
        EXPECT_EQ(head.FlattenPackage(), "abcdef");
        EXPECT_EQ(head.GetNext(), tail);
    }
    // Chained behind the stack package, the tail was neither freed nor unlinked.
    EXPECT_EQ(tail->FlattenPackage(), "cdef");
    tail->Append(tail);  // ignored: no cycle
    EXPECT_EQ(tail->GetPackageLength(), 4u);
    delete tail;  // a single node: its own block only
}

// Holders of one block share its bytes, not its free room: the first writer
// claims the room and the other sees none.
TEST(DataPackage, WritesIntoADuplicateLeaveTheOriginalAlone) {
    CDataPackage* p = HeapPackage("abcd", 8);
    CDataPackage* dup = p->DuplicatePackage();
    ASSERT_EQ(p->Write("XY", 2), 0);
    EXPECT_EQ(dup->GetPackageSpace(), 0u);
    EXPECT_NE(dup->Write("ZW", 2), 0);
    EXPECT_EQ(p->FlattenPackage(), "abcdXY");
    EXPECT_EQ(dup->FlattenPackage(), "abcd");
    dup->DestroyPackage();
    p->DestroyPackage();
}

TEST(DataPackage, CopyPackageOwnsItsBytesAcrossAChain) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    CDataPackage head(4, buffer, CDataPackage::FLAG_WRAP, 4);
    head.AdvancePackageReadPtr(1);
    auto* tail = new CDataPackage(2, "xy", CDataPackage::FLAG_NONE, 2);
    head.Append(tail);
    CDataPackage* copy = CDataPackage::CopyPackage(&head);
    buffer[1] = 'Z';  // the wrapped buffer is reused: the copy keeps what it had
    EXPECT_EQ(copy->FlattenPackage(), "bcdxy");
    EXPECT_EQ(copy->GetNext(), nullptr);
    copy->DestroyPackage();
    tail->DestroyPackage();

    CDataPackage* empty = CDataPackage::CopyPackage(nullptr);
    EXPECT_EQ(empty->GetPackageLength(), 0u);
    empty->DestroyPackage();
}

// CRecentValues: the last kCount values added, with their smallest and
// largest. The capture thread keeps the sound server's latency reports in it.
// Not thread-safe.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

class CRecentValues {
public:
    static constexpr std::size_t kCount = 64;

    void Add(std::uint64_t value) { m_values[m_nAdded++ % kCount] = value; }
    bool Empty() const { return m_nAdded == 0; }
    // 0 when empty.
    std::uint64_t Smallest() const { return Empty() ? 0 : *std::min_element(m_values.begin(), End()); }
    std::uint64_t Largest() const { return Empty() ? 0 : *std::max_element(m_values.begin(), End()); }

private:
    std::array<std::uint64_t, kCount>::const_iterator End() const {
        return m_values.begin() + static_cast<std::ptrdiff_t>(std::min(m_nAdded, kCount));
    }

    std::array<std::uint64_t, kCount> m_values{};
    std::size_t m_nAdded = 0;
};

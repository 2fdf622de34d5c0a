#include "rowspans.h"

#include <algorithm>

void CRowSpans::Add(int top, int bottom) {
    if (m_bAll || top >= bottom) return;
    // Insert in order, then swallow every span the new one touches.
    auto it = std::lower_bound(m_spans.begin(), m_spans.end(), Span{top, bottom});
    it = m_spans.insert(it, Span{top, bottom});
    if (it != m_spans.begin() && std::prev(it)->second >= it->first) --it;
    auto next = std::next(it);
    while (next != m_spans.end() && next->first <= it->second) {
        it->second = std::max(it->second, next->second);
        next = m_spans.erase(next);
    }
}

std::vector<CRowSpans::Span> CRowSpans::Within(int height) const {
    std::vector<Span> out;
    if (height <= 0) return out;
    if (m_bAll) {
        out.emplace_back(0, height);
        return out;
    }
    for (const Span& s : m_spans) {
        const int top = std::max(s.first, 0), bottom = std::min(s.second, height);
        if (top < bottom) out.emplace_back(top, bottom);
    }
    return out;
}

void CRowSpans::Bridge(int gap) {
    if (m_spans.size() < 2) return;
    std::vector<Span> joined{m_spans.front()};
    for (std::size_t i = 1; i < m_spans.size(); ++i) {
        if (m_spans[i].first - joined.back().second < gap)
            joined.back().second = std::max(joined.back().second, m_spans[i].second);
        else
            joined.push_back(m_spans[i]);
    }
    m_spans.swap(joined);
}

CRowSpans::Span CRowSpans::Hull(int height) const {
    const std::vector<Span> spans = Within(height);
    if (spans.empty()) return {0, 0};
    return {spans.front().first, spans.back().second};
}

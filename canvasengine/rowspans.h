// CRowSpans: a set of picture rows as sorted, disjoint half-open spans
// [top, bottom), or "every row" when what changed is not known. Used on the
// canvas thread to carry the rows a picture changed from the screen grab to
// the scaler, the device context and the delivered picture.
#pragma once

#include <utility>
#include <vector>

class CRowSpans {
public:
    using Span = std::pair<int, int>;  // [first, second)

    // Adds the rows [top, bottom); an empty or reversed span adds nothing.
    void Add(int top, int bottom);
    // Every row changed (nothing is known about which).
    void SetAll() {
        m_bAll = true;
        m_spans.clear();
    }
    void Clear() {
        m_bAll = false;
        m_spans.clear();
    }
    bool IsAll() const { return m_bAll; }
    bool IsEmpty() const { return !m_bAll && m_spans.empty(); }
    const std::vector<Span>& Spans() const { return m_spans; }
    // The spans limited to rows [0, height); "every row" becomes [0, height).
    std::vector<Span> Within(int height) const;
    // Joins neighbouring spans less than `gap` rows apart (fewer, larger reads).
    void Bridge(int gap);
    // The smallest span holding every row of the set inside [0, height); {0, 0} when empty.
    Span Hull(int height) const;

private:
    std::vector<Span> m_spans;
    bool m_bAll = false;
};

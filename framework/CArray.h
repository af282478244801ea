// The framework's growable array of values.
//
// Holds its elements by value, in insertion order; destroying the array
// destroys them. Indexes are pointer-sized (never cut to 16 or 32 bits).
// Access outside 0 .. count-1 throws CInvalidArgException: callers index
// only within the count, so that exception means a programming error.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "CObject.h"

class CInvalidArgException : public std::invalid_argument {
public:
    CInvalidArgException() : std::invalid_argument("invalid argument") {}
};

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
public:
    using INDEX = std::ptrdiff_t;

    // Appends a copy of the element and returns its index (0 for the first).
    INDEX Add(ARG_TYPE element) {
        m_items.push_back(element);
        return static_cast<INDEX>(m_items.size()) - 1;
    }

    INDEX GetCount() const { return static_cast<INDEX>(m_items.size()); }
    INDEX GetSize() const { return GetCount(); }
    bool IsEmpty() const { return m_items.empty(); }
    void RemoveAll() { m_items.clear(); }

    const TYPE& GetAt(INDEX i) const { return m_items[Checked(i)]; }
    TYPE& ElementAt(INDEX i) { return m_items[Checked(i)]; }
    const TYPE& operator[](INDEX i) const { return GetAt(i); }
    TYPE& operator[](INDEX i) { return ElementAt(i); }

private:
    std::size_t Checked(INDEX i) const {
        if (i < 0 || i >= GetCount()) throw CInvalidArgException();
        return static_cast<std::size_t>(i);
    }

    std::vector<TYPE> m_items;
};

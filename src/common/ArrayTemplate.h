#pragma once
// A growable array of owned pointers. The first block holds `growth step` elements,
// every later one twice as many; removing an element deletes it and keeps the order
// of the rest; the capacity never shrinks.
#include "common/Assert.h"

#include <cstddef>
#include <memory>
#include <utility>

template <class T> class CArrayTemplate
{
public:
    explicit CArrayTemplate(int growthStep) : m_nGrowthStep(growthStep)
    {
        TQ_ASSERT(growthStep > 0);
    }
    ~CArrayTemplate() { RemoveAll(); }
    CArrayTemplate(const CArrayTemplate&) = delete;
    CArrayTemplate& operator=(const CArrayTemplate&) = delete;

    void Add(std::unique_ptr<T> element)
    {
        TQ_ASSERT_TEXT(nullptr != element, "NULL != pElement");
        if (m_nCount == m_nCapacity)
            Grow();
        m_apElements[m_nCount++] = std::move(element);
    }

    T* operator[](int index) const
    {
        TQ_ASSERT_TEXT(isValidIndex(index), "TRUE == isValidIndex( nIndex )");
        return m_apElements[index].get();
    }

    void RemoveAt(int index)
    {
        TQ_ASSERT_TEXT(isValidIndex(index), "TRUE == isValidIndex( nIndex )");
        m_apElements[index].reset();
        for (int i = index; i + 1 < m_nCount; ++i)
            m_apElements[i] = std::move(m_apElements[i + 1]);
        --m_nCount;
    }

    void RemoveAll()
    {
        for (int i = 0; i < m_nCount; ++i)
            m_apElements[i].reset();
        m_apElements.reset();
        m_nCapacity = 0;
        m_nCount = 0;
    }

    int getCount() const { return m_nCount; }
    int getCapacity() const { return m_nCapacity; }
    bool isValidIndex(int index) const { return index >= 0 && index < m_nCount; }

private:
    void Grow()
    {
        const int newCapacity = m_nCapacity == 0 ? m_nGrowthStep : m_nCapacity * 2;
        auto newElements = std::make_unique<std::unique_ptr<T>[]>(static_cast<size_t>(newCapacity));
        TQ_ASSERT_TEXT(nullptr != newElements, "NULL != apNewElements");
        for (int i = 0; i < m_nCount; ++i)
            newElements[i] = std::move(m_apElements[i]);
        m_apElements = std::move(newElements);
        m_nCapacity = newCapacity;
    }

    int m_nGrowthStep;
    std::unique_ptr<std::unique_ptr<T>[]> m_apElements;
    int m_nCapacity = 0;
    int m_nCount = 0;
};

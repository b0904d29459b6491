#pragma once
// A growable array of owned pointers. The first block holds `growth step` elements,
// every later one twice as many; removing an element deletes it and keeps the order
// of the rest; the capacity never shrinks.
#include "common/Assert.h"

#include <memory>
#include <utility>
#include <vector>

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
        if (m_apElements.size() == m_apElements.capacity())
            m_apElements.reserve(m_apElements.empty() ? m_nGrowthStep : 2 * m_apElements.size());
        m_apElements.push_back(std::move(element));
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
        m_apElements.erase(m_apElements.begin() + index);
    }

    // Deletes the elements first to last and gives the storage back.
    void RemoveAll()
    {
        for (auto& element : m_apElements)
            element.reset();
        std::vector<std::unique_ptr<T>>().swap(m_apElements);
    }

    int getCount() const { return static_cast<int>(m_apElements.size()); }
    int getCapacity() const { return static_cast<int>(m_apElements.capacity()); }
    bool isValidIndex(int index) const { return index >= 0 && index < getCount(); }

private:
    size_t m_nGrowthStep;
    std::vector<std::unique_ptr<T>> m_apElements;
};

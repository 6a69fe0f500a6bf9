#include "inputArray.h"

#include <algorithm>

void inputArray::setColouringValues(int goodValue, int alarmValue)
{
    m_goodValue = goodValue;
    m_alarmValue = alarmValue;
}

bool inputArray::changeColouring(int mode, bool on)
{
    const int next = on ? mode : (m_colouring == mode ? 0 : m_colouring);
    if (next == m_colouring)
        return false;
    m_colouring = next;
    return true;
}

QString inputArray::colouringText(const QString &source) const
{
    switch (m_colouring) {
    case 1:
        return QStringLiteral("Greening: every value reads %1").arg(m_goodValue);
    case 2:
        return QStringLiteral("Redding: every value reads %1").arg(m_alarmValue);
    default:
        return QStringLiteral("Colouring off: values from %1").arg(source);
    }
}

int inputArray::present(const std::vector<int> &source)
{
    const auto shown = [&](int index) {
        return m_colouring == 1 ? m_goodValue : m_colouring == 2 ? m_alarmValue : source[size_t(index)];
    };
    const int length = int(source.size());
    int changed = 0;
    if (!m_current.values || length != m_current.length) {
        buffer next;
        next.values = std::make_unique<int[]>(size_t(std::max(length, 1)));
        next.length = length;
        const int common = std::min(length, m_current.length);
        for (int i = 0; i < length; ++i) {
            next.values[i] = shown(i);
            if (i < common && next.values[i] != m_current.values[i])
                ++changed;
        }
        changed += std::max(length, m_current.length) - common;
        if (m_handedOut)
            m_retired = std::move(m_current);
        m_current = std::move(next);
        m_handedOut = false;
        return changed;
    }
    for (int i = 0; i < length; ++i) {
        const int value = shown(i);
        if (m_current.values[i] != value) {
            m_current.values[i] = value;
            ++changed;
        }
    }
    return changed;
}

bool inputArray::handOut(int **data, int *length)
{
    if (!m_current.values) {
        *data = nullptr;
        *length = 0;
        return false;
    }
    *data = m_current.values.get();
    *length = m_current.length;
    m_handedOut = true;
    m_retired = buffer();
    return true;
}

#include "AlarmDebugTrace.h"

#include "interface/DebugIdManager.h"
#include "interface/IDebug.h"

namespace {

QString prefix(const QString &id, int number)
{
    return QStringLiteral("Driver%1:(%2) ").arg(id).arg(number);
}

} // namespace

AlarmDebugTrace::AlarmDebugTrace(const QString &id, IDebug *debug, DebugIdManager *ids)
    : m_id(id), m_debug(debug), m_ids(ids)
{
}

int AlarmDebugTrace::nextNumber() const
{
    return m_ids ? m_ids->nextId() : 0;
}

void AlarmDebugTrace::write(int number, const QString &text) const
{
    if (!m_debug)
        return;
    if (text.size() <= MaxLineLength) {
        m_debug->debug(0, prefix(m_id, number), text);
        return;
    }
    m_debug->debug(0, prefix(QStringLiteral("--"), -1),
                   QStringLiteral("*** Assert fail *** String length %1 exceeds %2")
                       .arg(text.size())
                       .arg(MaxLineLength));
    m_debug->debug(0, prefix(m_id, number), text.left(MaxLineLength));
}

QString AlarmDebugTrace::describeValues(std::span<const int> values, int firstIndex)
{
    QString text = QLatin1Char('(') + QString::number(values.size()) + QLatin1Char(')');
    for (std::size_t first = 0; first < values.size();) {
        std::size_t last = first;
        while (last + 1 < values.size() && values[last + 1] == values[first])
            ++last;
        const qint64 firstIndexOut = qint64(first) + firstIndex;
        if (last > first)
            text += QStringLiteral("%1-%2:%3,").arg(firstIndexOut).arg(qint64(last) + firstIndex).arg(values[first]);
        else
            text += QStringLiteral("%1:%2,").arg(firstIndexOut).arg(values[first]);
        first = last + 1;
    }
    return text;
}

QString AlarmDebugTrace::hex(const void *pointer)
{
    return QString::number(reinterpret_cast<quintptr>(pointer), 16);
}

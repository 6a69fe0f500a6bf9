#pragma once

#include <QString>

#include <span>

class DebugIdManager;
class IDebug;

// The trace lines of one debug decorator: "Driver<id>:(<call number>) " +
// text, sent to the engine's debug interface with mask 0. Call numbers come
// from the engine's DebugIdManager, shared by every decorator.
class AlarmDebugTrace
{
public:
    static constexpr qsizetype MaxLineLength = 13000;

    AlarmDebugTrace(const QString &id, IDebug *debug, DebugIdManager *ids);

    QString id() const { return m_id; }
    // The number of the next traced call (0 without an id manager).
    int nextNumber() const;
    // A text longer than MaxLineLength is first reported under "--" and -1,
    // then written cut to the limit.
    void write(int number, const QString &text) const;

    // "(n)" followed by runs of equal values, "first-last:value," or
    // "index:value,", indices counted from firstIndex.
    static QString describeValues(std::span<const int> values, int firstIndex);
    // A pointer as lower-case hexadecimal without "0x".
    static QString hex(const void *pointer);

private:
    QString m_id;
    IDebug *m_debug;
    DebugIdManager *m_ids;
};

#pragma once

#include <QString>

// The engine's trace interface, given to modules and to the mastership
// object. A line reaches the log file when every bit of `mask` is set in the
// engine's log flags (a mask of 0 always does), and the debugger output while
// the "&Debug" menu item is checked. Callable from any thread.
class IDebug
{
public:
    // Writes prefix + text (the prefix only when it is not empty).
    virtual void debug(int mask, const QString &prefix, const QString &text) = 0;
    // The same with printf-style formatting; prefix and text stay under 1000 characters.
    virtual void debugf(int mask, const char *prefix, const char *format, ...) = 0;

protected:
    ~IDebug() = default;
};

#pragma once

#include <QString>

#include <functional>

// Appends one line to the server's log view. The window installs the sink
// while it exists; without one the line only goes to the debug output.
void logLine(const QString &text);

// Installs (or, with an empty function, removes) the receiver of log lines.
void setLogSink(std::function<void(const QString &)> sink);

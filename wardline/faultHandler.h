#pragma once

#include <QString>

// Processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) in the engine or in a
// module: the line "Wardline: <operation> - thrown exception <signal> from
// <address>" goes to standard error and to the log file, and the process ends
// with exit code 1. Everything the signal handler uses is prepared beforehand,
// so that it only calls async-signal-safe functions.
namespace faultHandler {

void install();
// The operation under way, named in the fault line (a string literal).
void setOperation(const char *operation);
const char *operation();
// The file the fault line is appended to: the log file of the moment, set
// by the logger whenever it begins a new one.
void setLogFile(const QString &path);
// The file set last; empty before the first.
QString logFile();

// For operations that end the process after a caught exception.
[[noreturn]] void fatal();

// RAII: names the operation for its scope.
class scope
{
public:
    explicit scope(const char *operation)
        : m_previous(faultHandler::operation())
    {
        setOperation(operation);
    }
    ~scope() { setOperation(m_previous); }

private:
    const char *m_previous;
};

} // namespace faultHandler

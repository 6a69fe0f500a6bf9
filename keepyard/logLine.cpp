#include "logLine.h"

#include "keepyard_log.h"

namespace {

std::function<void(const QString &)> &sink()
{
    static std::function<void(const QString &)> current;
    return current;
}

} // namespace

void logLine(const QString &text)
{
    // Also echoed, so that a server running without a screen leaves a trace.
    qCInfo(lcKeepyard).noquote() << text;
    if (sink())
        sink()(text);
}

void setLogSink(std::function<void(const QString &)> receiver)
{
    sink() = std::move(receiver);
}

#pragma once

#include "rule_kernel_global.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <vector>

// The sections of a proc_def.cfg as the engine reads them: a header "[name]"
// starts a process, and every line up to the next header is its body.
class RULE_KERNEL_EXPORT procDefFile
{
public:
    struct section
    {
        QString name;
        QByteArray body;      // each line trimmed and followed by NUL, as LoadSettings takes it
        QByteArray firstLine; // the first body line, for messages
        bool nameOk = true;   // the name is UTF-8 text
        int line = 0;         // 1-based line of the header
    };

    // Reads UTF-8 text (a byte-order mark is skipped). `strayLines` counts the
    // non-empty lines before the first header; `progress` hears (line, lines)
    // every 256 lines.
    static std::vector<section> read(QByteArrayView content, int *strayLines = nullptr,
                                     const std::function<void(int, int)> &progress = {});
    // The body with its terminating NUL, ready for CRuleKernel::LoadSettings.
    static QByteArray loadable(const section &s);
};

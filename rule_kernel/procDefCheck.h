#pragma once

#include "rule_kernel_global.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// What keeps the processes of a proc_def.cfg from being calculated, found
// before the engine loads it: bodies the rule parser refuses, names that are
// not UTF-8, empty or given twice, inputs and masks naming no process, and
// processes that read each other in a circle.
class RULE_KERNEL_EXPORT procDefCheck
{
public:
    struct problem
    {
        int line = 0;    // 1-based line of the process's header
        QString process; // the process's name
        QString text;    // what is wrong, in words
    };

    static QList<problem> check(QByteArrayView content);
    // "Process NAME (line N): TEXT".
    static QString describe(const problem &p);
};

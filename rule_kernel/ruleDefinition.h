#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// One process rule as read from its section body: "Key=Value" lines (see
// docs/rules.md). Parsing checks everything that can be checked without the
// other processes; names are resolved later.
struct ruleDefinition
{
    enum Type { Invalid = -1, Input = 1, And = 2, Or = 3, Not = 4, Truth = 5, Time = 6, Holdoff = 7 };
    enum Comparison : int8_t { Equal, NotEqual, AtLeast, AtMost, Above, Below };
    // Inputs of a TRUTH rule: its table has a row per combination.
    static constexpr int maxTruthInputs = 16;

    Type type = Invalid;

    // Input: the value at 1-based `index` of acquisition block `block` is in
    // alarm when it compares to `threshold` as `comparison` says.
    int block = 0;
    int index = 0;
    Comparison comparison = NotEqual;
    int threshold = 0;

    // AND, OR, NOT, TRUTH, HOLDOFF and pulse timers read other processes.
    QStringList inputs;
    // TRUTH: the input combinations that are ON, one character per input
    // ("1" in alarm, "0" not, "x" either).
    std::vector<QString> onRows;

    // Time, window form: ON from `fromMinute` to before `toMinute` (minutes
    // of the local day; a window may pass midnight) on the days in `days`
    // (bit 0 Monday ... bit 6 Sunday).
    bool window = false;
    int fromMinute = 0;
    int toMinute = 0;
    int days = 0x7f;
    // Time, pulse form: ON for `pulseSeconds` after the input goes into alarm.
    int pulseSeconds = 0;

    // HOLDOFF: ON once the input has been in alarm this long, OFF once it has
    // been clear this long.
    int onDelaySeconds = 0;
    int offDelaySeconds = 0;

    QString mask;
    bool latching = false;
    // Forces and shelving end by themselves after this many seconds (0: never).
    int forceTimeoutSeconds = 0;

    // Reads a body of NUL-terminated lines; false with `error` set when it
    // does not describe a rule.
    static bool parse(const char *body, unsigned long length, ruleDefinition &rule, QString *error = nullptr);
    static bool parse(const QString &text, ruleDefinition &rule, QString *error = nullptr);

    static QString typeName(int type);
};

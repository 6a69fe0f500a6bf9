#include "ruleDefinition.h"

#include <QHash>
#include <QRegularExpression>

namespace {

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool toInt(const QString &text, int &value, int minimum)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= minimum;
}

bool toBool(const QString &text, bool &value)
{
    const QString t = text.toLower();
    if (t == u"yes" || t == u"true" || t == u"1" || t == u"on") {
        value = true;
        return true;
    }
    if (t == u"no" || t == u"false" || t == u"0" || t == u"off") {
        value = false;
        return true;
    }
    return false;
}

QStringList names(const QString &text)
{
    QStringList result;
    for (const QString &part : text.split(QLatin1Char(',')))
        result << part.trimmed();
    return result;
}

// "08:00" -> minutes of the day; 24:00 is the end of the day.
bool parseMinute(const QString &text, int &minute)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{1,2}):(\\d{2})$"));
    const auto m = form.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const int h = m.captured(1).toInt();
    const int min = m.captured(2).toInt();
    if (min > 59 || h > 24 || (h == 24 && min != 0))
        return false;
    minute = h * 60 + min;
    return true;
}

bool toDays(const QString &text, int &days)
{
    static const QStringList dayNames = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    days = 0;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QString item = part.trimmed().toLower();
        if (item == u"all") {
            days = 0x7f;
            continue;
        }
        const QStringList range = item.split(QLatin1Char('-'));
        if (range.size() > 2)
            return false;
        const int from = dayNames.indexOf(range.first().trimmed().left(3));
        const int to = dayNames.indexOf(range.last().trimmed().left(3));
        if (from < 0 || to < 0)
            return false;
        for (int d = from;; d = (d + 1) % 7) {
            days |= 1 << d;
            if (d == to)
                break;
        }
    }
    return days != 0;
}

bool toComparison(const QString &text, ruleDefinition &rule)
{
    static const QRegularExpression form(QStringLiteral("^(==|=|!=|<>|>=|<=|>|<)?\\s*([+-]?\\d+)$"));
    const auto m = form.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const QString op = m.captured(1);
    rule.comparison = op.isEmpty() || op == u"=" || op == u"==" ? ruleDefinition::Equal
                      : op == u"!=" || op == u"<>"              ? ruleDefinition::NotEqual
                      : op == u">="                            ? ruleDefinition::AtLeast
                      : op == u"<="                            ? ruleDefinition::AtMost
                      : op == u">"                             ? ruleDefinition::Above
                                                              : ruleDefinition::Below;
    bool ok = false;
    rule.threshold = m.captured(2).toInt(&ok);
    return ok;
}

} // namespace

QString ruleDefinition::typeName(int type)
{
    switch (type) {
    case Input: return QStringLiteral("Input");
    case And: return QStringLiteral("AND");
    case Or: return QStringLiteral("OR");
    case Not: return QStringLiteral("NOT");
    case Truth: return QStringLiteral("TRUTH");
    case Time: return QStringLiteral("Time");
    case Holdoff: return QStringLiteral("HOLDOFF");
    default: return QStringLiteral("INVALID");
    }
}

bool ruleDefinition::parse(const char *body, unsigned long length, ruleDefinition &rule, QString *error)
{
    if (!body)
        return fail(error, QStringLiteral("no body"));
    // Lines end with NUL; the block may or may not end with an extra one.
    QString text;
    unsigned long start = 0;
    for (unsigned long i = 0; i < length; ++i) {
        if (body[i] == '\0') {
            text += QString::fromUtf8(body + start, qsizetype(i - start)) + QLatin1Char('\n');
            start = i + 1;
        }
    }
    if (start < length)
        text += QString::fromUtf8(body + start, qsizetype(length - start));
    return parse(text, rule, error);
}

bool ruleDefinition::parse(const QString &text, ruleDefinition &rule, QString *error)
{
    rule = ruleDefinition();
    QHash<QString, QString> values;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(error, QStringLiteral("not a Key=Value line: %1").arg(line));
        const QString key = line.left(eq).trimmed().toLower();
        if (values.contains(key))
            return fail(error, QStringLiteral("%1 given twice").arg(line.left(eq).trimmed()));
        values.insert(key, line.mid(eq + 1).trimmed());
    }

    const auto take = [&](const char *key) { return values.take(QString::fromLatin1(key)); };
    const auto has = [&](const char *key) { return values.contains(QString::fromLatin1(key)); };

    static const QHash<QString, Type> types = {{"input", Input}, {"and", And},     {"or", Or},
                                               {"not", Not},     {"truth", Truth}, {"time", Time},
                                               {"holdoff", Holdoff}};
    const QString typeText = take("type");
    const auto type = types.constFind(typeText.toLower());
    if (type == types.constEnd())
        return fail(error, typeText.isEmpty() ? QStringLiteral("no Type") : QStringLiteral("unknown Type %1").arg(typeText));
    rule.type = *type;

    rule.mask = take("mask");
    if (has("latching") && !toBool(take("latching"), rule.latching))
        return fail(error, QStringLiteral("Latching must be yes or no"));
    if (has("forcetimeout") && !toInt(take("forcetimeout"), rule.forceTimeoutSeconds, 0))
        return fail(error, QStringLiteral("ForceTimeout must be seconds"));

    // The processes read, from "Inputs" (a list) or "Input" (one).
    if (has("inputs") && has("input"))
        return fail(error, QStringLiteral("give Inputs or Input, not both"));
    const QString inputText = has("inputs") ? take("inputs") : take("input");
    if (!inputText.isEmpty())
        rule.inputs = names(inputText);
    if (rule.inputs.contains(QString()) || rule.mask.contains(QLatin1Char(',')))
        return fail(error, QStringLiteral("empty process name"));

    switch (rule.type) {
    case Input:
        if (!rule.inputs.isEmpty())
            return fail(error, QStringLiteral("an Input rule reads a block, not processes"));
        if (!toInt(take("block"), rule.block, 1) || !toInt(take("index"), rule.index, 1))
            return fail(error, QStringLiteral("Input needs Block and Index, both 1 or more"));
        if (has("alarm") && !toComparison(take("alarm"), rule))
            return fail(error, QStringLiteral("Alarm must be a comparison such as >= 80"));
        break;
    case And:
    case Or:
        if (rule.inputs.isEmpty())
            return fail(error, QStringLiteral("%1 needs Inputs").arg(typeName(rule.type)));
        break;
    case Not:
        if (rule.inputs.size() != 1)
            return fail(error, QStringLiteral("NOT needs exactly one input"));
        break;
    case Truth: {
        if (rule.inputs.isEmpty() || rule.inputs.size() > maxTruthInputs)
            return fail(error, QStringLiteral("TRUTH needs 1 to %1 inputs").arg(maxTruthInputs));
        for (const QString &row : take("on").split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString pattern = row.trimmed().toLower();
            if (pattern.size() != rule.inputs.size()
                || pattern.contains(QRegularExpression(QStringLiteral("[^01x]"))))
                return fail(error, QStringLiteral("TRUTH row %1 must have one 0, 1 or x per input").arg(row.trimmed()));
            rule.onRows.push_back(pattern);
        }
        break;
    }
    case Time:
        if (has("window")) {
            const QStringList bounds = take("window").split(QLatin1Char('-'));
            if (bounds.size() != 2 || !parseMinute(bounds.at(0), rule.fromMinute) || !parseMinute(bounds.at(1), rule.toMinute))
                return fail(error, QStringLiteral("Window must read like 08:00-17:30"));
            if (has("days") && !toDays(take("days"), rule.days))
                return fail(error, QStringLiteral("Days must read like Mon-Fri or Sat,Sun"));
            if (!rule.inputs.isEmpty() || has("pulse"))
                return fail(error, QStringLiteral("a Time rule is a Window or a Pulse, not both"));
            rule.window = true;
        } else {
            if (rule.inputs.size() != 1 || !toInt(take("pulse"), rule.pulseSeconds, 1))
                return fail(error, QStringLiteral("Time needs a Window, or one Input and Pulse seconds"));
        }
        break;
    case Holdoff:
        if (rule.inputs.size() != 1)
            return fail(error, QStringLiteral("HOLDOFF needs exactly one input"));
        if ((has("ondelay") && !toInt(take("ondelay"), rule.onDelaySeconds, 0))
            || (has("offdelay") && !toInt(take("offdelay"), rule.offDelaySeconds, 0)))
            return fail(error, QStringLiteral("OnDelay and OffDelay must be seconds"));
        break;
    case Invalid:
        break;
    }
    if (!values.isEmpty())
        return fail(error, QStringLiteral("unknown or misplaced key %1").arg(values.keys().first()));
    return true;
}

#include "stateFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

stateFile::stateFile(QString currentFolder, QString oldFolder, std::function<void(const QString &)> debug)
    : m_current(std::move(currentFolder)), m_old(std::move(oldFolder)), m_debug(std::move(debug))
{
}

void stateFile::say(const QString &line) const
{
    if (m_debug)
        m_debug(line);
}

QString stateFile::endTimeText(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

int64_t stateFile::endTimeSeconds(const QString &text)
{
    // Read as UTC, the way the end times are written.
    QDateTime when = QDateTime::fromString(text.trimmed(), Qt::ISODate);
    if (!when.isValid())
        return 0;
    when.setTimeSpec(Qt::UTC);
    return when.toSecsSinceEpoch();
}

void stateFile::makeFolder(const QString &folder) const
{
    if (QDir(folder).exists())
        return;
    const QStringList parts = folder.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts);
    QString path = folder.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
    for (const QString &part : parts) {
        path += part;
        if (!QDir(path).exists() && !QDir().mkdir(path))
            say(QStringLiteral("Failed to create directory %1").arg(path));
        path += QLatin1Char('/');
    }
}

void stateFile::load(QHash<QString, int> &states, QHash<QString, int64_t> &overrideEnds)
{
    QElapsedTimer timer;
    timer.start();
    const QString oldFile = m_old + QStringLiteral("/Wardline.dat");
    if (!m_old.isEmpty() && QFile::exists(oldFile)) {
        say(QStringLiteral("Process file exists at old location.  Will be written to new location."));
        if (QFile::exists(path()))
            say(QStringLiteral("Process file already exists at new location!"));
        makeFolder(m_current);
        // An existing current file is not replaced; the old one then stays.
        if (!QFile::rename(oldFile, path()))
            say(QStringLiteral("Unable to rename '%1' to '%2'.").arg(oldFile, path()));
    }

    QFile in(path());
    if (!in.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("LoadData Failed to open previous state file '%1'").arg(path()));
        return;
    }
    enum { Name, State, Option } phase = Name;
    QString name;
    QString state;
    QString option;
    const auto applyOption = [&] {
        const qsizetype eq = option.indexOf(QLatin1Char('='));
        if (eq >= 0 && option.left(eq) == u"o") {
            const int64_t seconds = endTimeSeconds(option.mid(eq + 1));
            if (seconds > 0 && !overrideEnds.contains(name))
                overrideEnds.insert(name, seconds);
        }
        option.clear();
    };
    for (const char c : in.readAll()) {
        if (c == '\n') {
            if (phase == Option)
                applyOption();
            bool ok = false;
            const int value = state.trimmed().toInt(&ok);
            if (!states.contains(name))
                states.insert(name, ok ? value : 0);
            name.clear();
            state.clear();
            phase = Name;
        } else if (c == '\r') {
            continue; // files written on Windows in text mode
        } else if (phase == Name) {
            if (c == '=')
                phase = State;
            else
                name += QLatin1Char(c);
        } else if (phase == State) {
            if (c == ',')
                phase = Option;
            else
                state += QLatin1Char(c);
        } else if (c == ',') {
            applyOption();
        } else {
            option += QLatin1Char(c);
        }
    }
    say(QStringLiteral("Load File Data took: %1 ms").arg(timer.elapsed()));
    if (!states.isEmpty())
        say(QStringLiteral("LoadData Previous state file loaded %1 process states loaded").arg(states.size()));
}

bool stateFile::save(const std::vector<entry> &entries)
{
    makeFolder(m_current);
    QByteArray content;
    content.reserve(qsizetype(entries.size()) * 24);
    for (const entry &e : entries) {
        content += e.name.toUtf8() + '=' + QByteArray::number(e.state);
        if (e.overrideEnd > 0)
            content += ",o=" + endTimeText(e.overrideEnd).toLatin1();
        content += '\n';
    }
    // A crash while writing leaves the previous file whole.
    QSaveFile out(path());
    if (!out.open(QIODevice::WriteOnly)) {
        say(QStringLiteral("Failed to open file"));
        return false;
    }
    out.write(content);
    if (!out.commit()) {
        say(QStringLiteral("Failed to open file"));
        return false;
    }
    return true;
}

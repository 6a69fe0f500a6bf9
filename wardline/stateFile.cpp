#include "stateFile.h"

#include "utf8Text.h"

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
    // Read as UTC, the way the end times are written, never as local time
    // first: the hour that local time skips in spring would not read at all.
    const QString trimmed = text.trimmed();
    QDateTime when = QDateTime::fromString(trimmed + QLatin1Char('Z'), Qt::ISODate);
    if (!when.isValid()) {
        // A text with a zone of its own (or a date alone) reads as it says.
        when = QDateTime::fromString(trimmed, Qt::ISODate);
        if (when.isValid() && when.timeSpec() == Qt::LocalTime)
            when = QDateTime(when.date(), when.time(), Qt::UTC);
    }
    return when.isValid() ? when.toSecsSinceEpoch() : 0;
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
    // Read as bytes and decoded per name: the file is UTF-8, and a name that
    // is not is dropped with a message rather than merged with another.
    enum { Name, State, Option } phase = Name;
    QByteArray nameBytes;
    QString name;
    bool nameOk = true;
    QByteArray state;
    QByteArray option;
    int line = 1;
    const auto takeName = [&] {
        nameOk = utf8Text::decode(nameBytes, name);
        if (!nameOk)
            say(QStringLiteral("LoadData line %1: the process name is not UTF-8 text. Line ignored.").arg(line));
    };
    const auto applyOption = [&] {
        const qsizetype eq = option.indexOf('=');
        if (nameOk && eq >= 0 && option.left(eq) == "o") {
            const int64_t seconds = endTimeSeconds(QString::fromLatin1(option.mid(eq + 1)));
            if (seconds > 0 && !overrideEnds.contains(name))
                overrideEnds.insert(name, seconds);
        }
        option.clear();
    };
    const QByteArray content = in.readAll();
    for (const char c : utf8Text::withoutBom(content)) {
        if (c == '\n') {
            if (phase == Name)
                takeName();
            else if (phase == Option)
                applyOption();
            bool ok = false;
            const int value = state.trimmed().toInt(&ok);
            if (nameOk && !states.contains(name))
                states.insert(name, ok ? value : 0);
            nameBytes.clear();
            state.clear();
            phase = Name;
            ++line;
        } else if (c == '\r') {
            continue; // files written on Windows in text mode
        } else if (phase == Name) {
            if (c == '=') {
                takeName();
                phase = State;
            } else {
                nameBytes += c;
            }
        } else if (phase == State) {
            if (c == ',')
                phase = Option;
            else
                state += c;
        } else if (c == ',') {
            applyOption();
        } else {
            option += c;
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

#pragma once

#include "alarms_module.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QList>
#include <QStringList>

#include <cstdarg>
#include <cstdio>

// Stand-ins for the engine's side of the module interface.

class fakeDebug final : public IDebug
{
public:
    void debug(int mask, const QString &prefix, const QString &text) override
    {
        masks << mask;
        lines << prefix + text;
    }
    void debugf(int mask, const char *prefix, const char *format, ...) override
    {
        char text[1000];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        masks << mask;
        lines << QString::fromUtf8(prefix) + QString::fromUtf8(text);
    }

    QList<int> masks;
    QStringList lines;
};

class fakeLog final : public IAppendLog
{
public:
    void appendLog(const QString &message) override { lines << message; }

    int count(const QString &part) const
    {
        int n = 0;
        for (const QString &line : lines)
            n += line.contains(part) ? 1 : 0;
        return n;
    }

    QStringList lines;
};

class fakeAcqSink final : public IAlarmEventAcq
{
public:
    void event(int value) override { values << value; }

    QList<int> values;
};

// Resolves a module's entry point the way the engine does; the library stays
// loaded for the rest of the test program.
template <typename Function>
Function resolveEntryPoint(const char *libraryPath, const char *name)
{
    static QLibrary library;
    library.setFileName(QString::fromUtf8(libraryPath));
    if (!library.load())
        qFatal("cannot load %s: %s", libraryPath, qPrintable(library.errorString()));
    return reinterpret_cast<Function>(library.resolve(name));
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// A module configuration file with the engine's section and the module's.
inline QString writeConfig(const QString &path, const QByteArray &fileSection)
{
    writeBytes(path, "[System]\nModule=test\nName=Test module\n\n[File]\n" + fileSection);
    return path;
}

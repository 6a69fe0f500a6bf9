#pragma once

#include <QHash>
#include <QString>

#include <cstdint>
#include <functional>

// Wardline.dat: UTF-8 text, one line per process, "name=state" and, for a
// forced state with an end, ",o=<end as yyyy-MM-ddTHH:mm:ss, UTC>". Moved
// from the folder of older installations on first start.
class stateFile
{
public:
    struct entry
    {
        QString name;
        int state;
        int64_t overrideEnd; // seconds since 1970-01-01T00:00:00Z, 0: none
    };

    // currentFolder: "<config root>/<config system>/data/<alarm system>";
    // oldFolder: "<TEMP>/lumora_alarms/<config system>/<alarm system>", or
    // empty where there is no such place.
    stateFile(QString currentFolder, QString oldFolder, std::function<void(const QString &)> debug = {});

    QString path() const { return m_current + QStringLiteral("/Wardline.dat"); }

    // Moves an old file over, then reads the current one. The first line of
    // a name counts; a line whose name is not UTF-8 is reported and ignored.
    void load(QHash<QString, int> &states, QHash<QString, int64_t> &overrideEnds);
    // Writes every line, replacing the file only once it is complete.
    bool save(const std::vector<entry> &entries);

    // "1970-01-01T00:00:00Z" plus the seconds, without the zone.
    static QString endTimeText(int64_t seconds);
    // The seconds from 1970-01-01T00:00:00Z to such a text, read as UTC; 0
    // when it does not read.
    static int64_t endTimeSeconds(const QString &text);
    // Creates every level of a folder; a level that fails is reported and the
    // next ones are still tried.
    void makeFolder(const QString &folder) const;

private:
    void say(const QString &line) const;

    QString m_current;
    QString m_old;
    std::function<void(const QString &)> m_debug;
};

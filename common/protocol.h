#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <ctime>

// Texts and encodings shared by both ends of the configuration protocol.
namespace protocol {

// The root element of each direction's endless document.
inline constexpr char rootElement[] = "xml";
// What the server writes on accepting a connection.
inline constexpr char greeting[] = "<xml>\r\n";

// Replaces & < > " ' by their entities, in that order.
QString escape(QStringView text);
QByteArray escape(QByteArrayView text);

// Local date-time as yyyy-MM-ddTHH:mm:ss; a null date gives an empty text.
QString isoDate(const QDateTime &when);
// The same text for a file time, without a QDateTime on the way.
QByteArray localIsoDate(std::time_t secondsSinceEpoch);
// Reads the form above (local time); anything unreadable gives a null date.
QDateTime parseIsoDate(QStringView text);

// Names on the wire use "/" as separator; "\" is turned into "/".
QString wirePath(QString path);

// True when `relative` (after wirePath) names a place at or below the folder it
// is taken from: not absolute, no drive letter, no ".." component.
bool staysBelow(QStringView relative);

// Joins a folder and a relative wire path with exactly one "/".
QString joinPath(const QString &folder, const QString &relative);

// Lets the C library read the local time zone once instead of at every
// conversion of a local date-time (it checks /etc/localtime each time when TZ
// is unset). Programs call it first thing in main().
void prepareLocalTime();

} // namespace protocol

#include "dirListing.h"

#include <QXmlStreamReader>

QList<dirListing::entry> dirListing::parse(const QString &message)
{
    QList<entry> entries;
    QXmlStreamReader reader(message);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != u"data")
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        entry e;
        e.name = attributes.value(QLatin1String("name")).toString();
        e.date = QDateTime::fromString(attributes.value(QLatin1String("date")).toString(), Qt::ISODate);
        e.size = attributes.value(QLatin1String("size")).toLongLong();
        if (!e.name.isEmpty())
            entries << e;
    }
    return entries;
}

#include "locklist_handler.h"

#include "download_list.h"
#include "lock_list.h"
#include "server_comms.h"
#include "setdesk_log.h"

namespace setdesk {

bool locklist_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"locklist") {
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
    } else if (name == u"lock") {
        m_name = attributes.value(QLatin1String("name")).toString();
    }
    return true;
}

bool locklist_handler::endElement(QStringView name)
{
    if (name == u"lock") {
        if (keep(2 * m_name.size() + 32))
            m_names << m_name;
        return true;
    }
    if (name != u"locklist")
        return true;

    // The download list handle comes first: only the loading handle may change it.
    download_list downloads(m_system);
    lock_list locks(m_system);
    // Locks the server holds for this editor that it has forgotten: released.
    QByteArray request = "<unlock uid=\"startup\" type=\"request\" system=\"" + server_comms::escaped(m_system).toUtf8()
                         + "\" >\r\n";
    for (const QString &lockName : std::as_const(m_names)) {
        if (!locks.isLocked(lockName))
            request += "\t<file name=\"" + server_comms::escaped(lockName).toUtf8() + "\"/>\r\n";
    }
    request += "</unlock>\r\n";
    m_comms->send(request);

    // Locks of this editor that the server does not hold any more: forgotten.
    for (const pair &held : locks.pairs()) {
        if (!m_names.contains(held.path))
            locks.removePath(held.path);
    }
    // Downloads stay listed only while their plugin holds them.
    for (const downloadEntry &entry : downloads.entries()) {
        qCDebug(lcSetdesk).noquote() << QStringLiteral("checking key %1 / path%2").arg(entry.key, entry.path);
        if (!locks.isLockedBy(entry.key, entry.path)) {
            qCDebug(lcSetdesk).noquote() << QStringLiteral("key %1 not enabled for %2").arg(entry.key, entry.path);
            qCDebug(lcSetdesk).noquote() << QStringLiteral("removing: %1 / %2").arg(entry.path, entry.key);
            downloads.remove(entry.path, entry.key);
        }
    }
    locks.showLocksReport();
    return true;
}

} // namespace setdesk

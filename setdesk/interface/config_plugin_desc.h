#pragma once

#include "config_plugin_base.h"

#include <QPixmap>
#include <QStringList>

// The description a plugin library gives through its entry point: which
// editors it offers and how to make them. The host deletes it after use.
class SETDESK_PLUGIN_API config_plugin_desc
{
public:
    virtual ~config_plugin_desc();

    // The editor keys offered: names joined by "/" (a category and an editor,
    // for example). `root` is the system folder the plugins came from,
    // `userLevel` the level of the logged-in user.
    virtual QStringList keys(const QString &root, const QString &userLevel) = 0;
    // The picture of a key's item in the editor tree.
    virtual QPixmap icon(const QString &key) = 0;
    // A new editor for a key, or null. `workingFolder` is the editor's local
    // copy of the system.
    virtual config_plugin_base *create(const QString &workingFolder, const QString &key, const QString &userLevel) = 0;
};

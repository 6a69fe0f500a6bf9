#pragma once

#include "pluginLibrary.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

// The editor plugins of one system: the libraries in its config/plugins
// folder, the editor keys they offer (shown as a tree, one item per key
// part), and the editors opened from them. Every call into a plugin is
// guarded: one that throws is reported and the editor goes on.
class pluginHost : public QObject
{
    Q_OBJECT

public:
    // Characters a key may not hold: they would break the requests and the
    // navigation values it travels in.
    static const QString reservedCharacters;

    pluginHost(QTreeWidget *tree, QObject *parent = nullptr);
    ~pluginHost() override;

    void setLocal(bool local) { m_local = local; }
    bool isLocal() const { return m_local; }
    void setBuildFilter(pluginLibrary::buildFilter filter) { m_filter = filter; }
    pluginLibrary::buildFilter buildFilter() const { return m_filter; }
    // The system and user level of the login, and the editor's working folder.
    void setSession(const QString &clientDir, const QString &system, const QString &userLevel);
    // clientDir, system, user level as set.
    QStringList session() const { return {m_clientDir, m_system, m_userLevel}; }

    // The installed system folder (-LOCAL) or the editor's copy of it.
    QString systemRoot() const;
    // The editor's local copy of the system, handed to every new editor.
    QString workingFolder() const;
    QString pluginFolder() const { return systemRoot() + QStringLiteral("/config/plugins"); }

    // Loads every library of the plugin folder, in name order, and enters
    // their keys. An earlier load's keys and tree are replaced; its libraries
    // stay loaded while editors made from them may be open.
    void loadPlugins();

    QStringList keys() const { return m_keys; }
    pluginLibrary *libraryOf(const QString &key) const { return m_libraryByKey.value(key); }
    QTreeWidgetItem *itemOf(const QString &key) const { return m_itemByKey.value(key); }
    // The key a tree item ends, or empty.
    static QString keyOf(const QTreeWidgetItem *item);

    // The open editor of a key, or null.
    config_plugin_base *editor(const QString &key) const { return m_editorByKey.value(key); }
    // A new editor for a key from its library (null when there is none, the
    // plugin gives none or throws); entered under the key.
    config_plugin_base *createEditor(const QString &key);
    // Forgets an editor that is being destroyed.
    void forget(QObject *editor);

    // Runs a call into an editor's plugin, guarded as above; false when it threw.
    bool guarded(const config_plugin_base *editor, const char *what, const std::function<void()> &call) const;

signals:
    // A key held a reserved character and was refused.
    void keyRefused(const QString &libraryFile, const QString &key);

private:
    void addKey(const QString &key, pluginLibrary &library, const QPixmap &icon);
    QTreeWidgetItem *child(QTreeWidgetItem *parent, const QString &text);

    QTreeWidget *m_tree;
    bool m_local = false;
    pluginLibrary::buildFilter m_filter = pluginLibrary::buildFilter::none;
    QString m_clientDir;
    QString m_system;
    QString m_userLevel;
    std::vector<std::unique_ptr<pluginLibrary>> m_libraries;
    QStringList m_keys;
    QHash<QString, pluginLibrary *> m_libraryByKey;
    QHash<QString, QTreeWidgetItem *> m_itemByKey;
    QHash<QString, config_plugin_base *> m_editorByKey;
};

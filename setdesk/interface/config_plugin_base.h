#pragma once

#include "response.h"

#include <QList>
#include <QString>
#include <QWidget>

class QMenu;

#if defined(SETDESK_PLUGIN_API_BUILD)
#define SETDESK_PLUGIN_API Q_DECL_EXPORT
#else
#define SETDESK_PLUGIN_API Q_DECL_IMPORT
#endif

// An editor widget of a configuration editor plugin. The host creates one per
// editor key, reads `uid` (the key it was created for), routes the widget's
// commands to the server and hands it the server's replies for its requests.
//
// Commands the host understands (type, value): "downloadFile", "lock",
// "lockDir", "unlock", "unlockDir", "checkoutFile", "checkoutDir",
// "deleteDir", "delete", "syncDirDownload", "syncDirUpload", "dir",
// "uploadFile" (value: a server-relative path), "navigate" (value: an editor
// key, optionally followed by "," and a location inside that editor), "help"
// (a file or address to open), "dirty" and "clean" (the editor's save state).
class SETDESK_PLUGIN_API config_plugin_base : public QWidget
{
    Q_OBJECT

public:
    explicit config_plugin_base(QWidget *parent = nullptr);
    ~config_plugin_base() override;

    // Tool bars and dock widgets the host places while the editor is visible.
    virtual void dockWindows(QList<QWidget *> &list);
    // Menus the host puts into its menu bar while the editor is visible,
    // each under its object name.
    virtual void menus(QList<QMenu *> &list);
    // Kept for the order of the operations; the host never calls it.
    virtual void reserved();
    // True while the editor has unsaved changes.
    virtual bool isModified();
    // True when the editor becomes the visible one, false when it stops being so.
    virtual void setActive(bool active);
    // Goes to a location inside the editor.
    virtual void navigate(const QString &key, const QString &location);
    // A server reply to a request this editor made.
    virtual void commsEvent(response &result);
    // Saves the editor's changes.
    virtual void save();
    // A rich-text fragment for the plugin's About box.
    virtual QString about();

    // The key the editor was created for; the host sets it.
    QString uid;

signals:
    void command(QString type, QString value);
};

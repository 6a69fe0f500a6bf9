#pragma once

#include "config_plugin_base.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class messageBar;

// The start page: where the editor is connected and as whom, every editor
// the plugins offer as a link, and the locks this editor holds, any of which
// can be given back.
class homePage : public config_plugin_base
{
    Q_OBJECT

public:
    explicit homePage(QWidget *parent = nullptr);

    void setActive(bool active) override;
    void commsEvent(response &result) override;
    QString about() override;

private:
    void refresh();
    void showSession(const QStringList &lines);
    void showEditors(const QStringList &keys);
    void showLocks(const QStringList &lines);
    void releaseSelected();

    QLabel *m_session;
    QLabel *m_editors;
    QTreeWidget *m_locks;
    QPushButton *m_release;
    messageBar *m_message;
};

#pragma once

#include "setdesk_plugin.h"

#include <QDockWidget>
#include <QMenu>
#include <QToolBar>

// An editor of the test plugins that records every call the host makes in
// its "calls" property; its "modified" property is what isModified() says.
class testEditor : public config_plugin_base
{
public:
    explicit testEditor(const QString &key)
    {
        setObjectName(key);
        setProperty("modified", false);
        m_menu = new QMenu(this);
        m_menu->setObjectName(QStringLiteral("&Test"));
        m_menu->addAction(QStringLiteral("Test item"));
        m_tools = new QToolBar(QStringLiteral("Test tools"), this);
        m_tools->setObjectName(QStringLiteral("testTools"));
        m_tools->addAction(QStringLiteral("T"));
        m_dock = new QDockWidget(QStringLiteral("Test dock"), this);
        m_dock->setObjectName(QStringLiteral("testDock"));
    }

    void dockWindows(QList<QWidget *> &list) override
    {
        record(QStringLiteral("dockWindows"));
        list << m_tools << m_dock;
    }
    void menus(QList<QMenu *> &list) override { list << m_menu; }
    bool isModified() override { return property("modified").toBool(); }
    void setActive(bool active) override { record(QStringLiteral("setActive %1").arg(active)); }
    void navigate(const QString &key, const QString &location) override
    {
        record(QStringLiteral("navigate %1 %2").arg(key, location));
    }
    void commsEvent(response &result) override
    {
        QString call = QStringLiteral("commsEvent %1 %2 %3").arg(result.status).arg(result.operation, result.path);
        if (!result.message.isEmpty())
            call += QStringLiteral(" | ") + result.message;
        record(call);
    }
    void save() override
    {
        record(QStringLiteral("save"));
        setProperty("modified", false);
    }
    QString about() override { return QStringLiteral("<p>Test editor %1</p>").arg(uid); }

    // Lets a test make the editor send a command, as its user would.
    void send(const QString &type, const QString &value) { emit command(type, value); }

private:
    void record(const QString &call)
    {
        QStringList calls = property("calls").toStringList();
        calls << call;
        setProperty("calls", calls);
    }

    QMenu *m_menu;
    QToolBar *m_tools;
    QDockWidget *m_dock;
};

// Offers the keys given, each edited by a testEditor.
class testDescription : public config_plugin_desc
{
public:
    explicit testDescription(QStringList keys)
        : m_keys(std::move(keys))
    {
    }
    QStringList keys(const QString &, const QString &) override { return m_keys; }
    QPixmap icon(const QString &) override
    {
        QPixmap picture(16, 16);
        picture.fill(Qt::darkCyan);
        return picture;
    }
    config_plugin_base *create(const QString &, const QString &key, const QString &) override
    {
        return new testEditor(key);
    }

private:
    QStringList m_keys;
};

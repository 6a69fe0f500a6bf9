#pragma once

#include "ui_downloadListViewBase.h"

#include <QDateTime>
#include <QWidget>

// Shows the lock list or the download list file of a system, grouped by
// plugin and by file, and the file as it is. The file is polled every 2 s and
// shown again when its modification time changes.
class downloadListView : public QWidget, public Ui::downloadListViewBase
{
    Q_OBJECT

public:
    enum listMode {
        lockedFiles = 1,     // the lock list file, lines key,path
        downloadedFiles = 2, // the download list file, lines path,key
    };

    downloadListView(int mode, const QString &system, QWidget *parent = nullptr, Qt::WindowFlags flags = {});

    int mode() const { return m_mode; }
    // The file shown.
    QString filePath() const { return m_path; }

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void poll();
    void reload();

    int m_mode;
    QString m_path;
    QDateTime m_modified;
    int m_timer = 0;
};

#pragma once

#include <QList>
#include <QStringList>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class pathDisplayLabel;

// Shows the key of the visible editor as a row of parts separated by ">".
// Every part can be clicked and asks for navigation to the path up to it;
// parts that are editor keys themselves are drawn blue with a hand cursor.
class pathDisplay : public QWidget
{
    Q_OBJECT

public:
    explicit pathDisplay(QWidget *parent = nullptr);

    // The editor keys; replaced as a whole. The row shown is not redrawn.
    void setKeys(const QStringList &keys) { m_keys = keys; }
    QStringList keys() const { return m_keys; }

    // Shows a key; an empty key clears the row.
    void setPath(const QString &key);
    QString path() const { return m_path; }

    // The part labels of the row, in order (the ">" separators are not parts).
    QList<pathDisplayLabel *> parts() const { return m_parts; }
    // The ">" labels between the parts.
    QList<QLabel *> separators() const { return m_separators; }

    // 30 wide and as tall as the tallest label of the row (a line when empty).
    QSize sizeHint() const override;

signals:
    void command(QString cmd, QString arg);

public slots:
    void labelClicked();

private:
    QStringList m_keys;
    QString m_path;
    QList<pathDisplayLabel *> m_parts;
    QList<QLabel *> m_separators;
    QHBoxLayout *m_row = nullptr;
    int m_tallest = 0;
};

#pragma once

#include <QLabel>

// One part of the path display: shows a path part and holds the path up to
// and including it. Emits clicked() when the left button is released over it.
class pathDisplayLabel : public QLabel
{
    Q_OBJECT

public:
    explicit pathDisplayLabel(const QString &text, const QString &path = QString(), QWidget *parent = nullptr);

    QString path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QString m_path;
};

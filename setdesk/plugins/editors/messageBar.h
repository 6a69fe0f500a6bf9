#pragma once

#include <QLabel>

// The line at the foot of an editor where it tells the user, in words, what
// the server did with a request: done, refused and by whom, failed and why.
class messageBar : public QLabel
{
    Q_OBJECT

public:
    enum Kind { Info, Success, Warning, Error };

    explicit messageBar(QWidget *parent = nullptr);

    void say(const QString &text, Kind kind = Info);
    Kind kind() const { return m_kind; }

private:
    Kind m_kind = Info;
};

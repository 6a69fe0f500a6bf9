#pragma once

#include <QPlainTextEdit>

// A plain text editor for configuration files: fixed-width font, no line
// wrapping, and the line numbers in a margin on its left.
class codeEditor : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit codeEditor(QWidget *parent = nullptr);

    int lineNumberAreaWidth() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateLineNumberAreaWidth();
    void updateLineNumberArea(const QRect &rect, int dy);
    void paintLineNumbers(QPaintEvent *event);

    QWidget *m_lineNumbers;
};

#include <QTest>

class tst_colouring : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_colouring)
#include "tst_colouring.moc"

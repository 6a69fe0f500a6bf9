#include <QTest>

class tst_procDefCheck : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_procDefCheck)
#include "tst_procDefCheck.moc"

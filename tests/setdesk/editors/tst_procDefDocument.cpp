#include <QTest>

class tst_procDefDocument : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_procDefDocument)
#include "tst_procDefDocument.moc"

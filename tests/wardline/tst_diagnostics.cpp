#include <QTest>

class tst_diagnostics : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_diagnostics)
#include "tst_diagnostics.moc"

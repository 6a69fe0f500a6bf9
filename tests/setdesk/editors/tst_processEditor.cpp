#include <QTest>

class tst_processEditor : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_processEditor)
#include "tst_processEditor.moc"

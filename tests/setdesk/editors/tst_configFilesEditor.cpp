#include <QTest>

class tst_configFilesEditor : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(tst_configFilesEditor)
#include "tst_configFilesEditor.moc"

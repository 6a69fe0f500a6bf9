#include "cTavexVersion.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_cTavexVersion : public QObject
{
    Q_OBJECT

private slots:
    void readsAllKeysAndTurnsCommasIntoDots()
    {
        const cTavexVersion v(QStringLiteral(VERSION_FULL));
        QCOMPARE(v.productVersion(), QStringLiteral("2. 1. 0. 3"));
        QCOMPARE(v.fileVersion(), QStringLiteral("1. 0. 0. 5"));
        QCOMPARE(v.fileDescription(), QStringLiteral("Version test library"));
        QCOMPARE(v.comments(), QStringLiteral("with comments"));
        QCOMPARE(v.specialBuild(), QStringLiteral("special"));
        QCOMPARE(v.productName(), QStringLiteral("TAVEX"));
        QCOMPARE(v.internalName(), QStringLiteral("version_full"));
        QCOMPARE(v.resourceFileName(), QStringLiteral("libversion_full.so"));
        QVERIFY(!v.companyName().isEmpty());
        QVERIFY(!v.legalNotice().isEmpty());
        QVERIFY(v.privateBuild().isNull());
        QVERIFY(v.legalTrademarks().isNull());
        QCOMPARE(v.fileName(), QStringLiteral(VERSION_FULL));
    }

    void missingKeyStaysNull()
    {
        const cTavexVersion v(QStringLiteral(VERSION_MISSING_KEY));
        QVERIFY(v.comments().isNull());
        QVERIFY(v.companyName().isNull());
        QCOMPARE(v.productVersion(), QStringLiteral("4.5.3.0"));
        QCOMPARE(v.productName(), QStringLiteral("TAVEX"));
    }

    void firstTranslationOnly()
    {
        const cTavexVersion v(QStringLiteral(VERSION_TWO_TRANSLATIONS));
        QCOMPARE(v.productName(), QStringLiteral("Deutsch"));
        QCOMPARE(v.productVersion(), QStringLiteral("1. 2. 3. 4"));
        QVERIFY(v.fileDescription().isNull());
    }

    void programCarriesItsVersion()
    {
        const cTavexVersion v(QCoreApplication::applicationFilePath());
        QCOMPARE(v.productVersion(), QStringLiteral("4.5.3.0"));
    }

    void withoutVersionInformation_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("library without note") << QStringLiteral(VERSION_NONE);
        QTest::newRow("missing file") << QStringLiteral("/nonexistent/libnothing.so");
        QTest::newRow("folder") << QDir::tempPath();
    }

    void withoutVersionInformation()
    {
        QFETCH(QString, path);
        const cTavexVersion v(path);
        QCOMPARE(v.fileName(), path);
        QVERIFY(v.productVersion().isNull());
        QVERIFY(v.fileVersion().isNull());
        QVERIFY(v.productName().isNull());
        QVERIFY(v.comments().isNull());
    }

    void emptyPathLeavesEverythingNull()
    {
        const cTavexVersion v{QString()};
        QVERIFY(v.fileName().isNull());
        QVERIFY(v.productVersion().isNull());
    }

    // Truncated and damaged files must never crash the reader.
    void damagedFilesAreHarmless()
    {
        QFile full(QStringLiteral(VERSION_FULL));
        QVERIFY(full.open(QIODevice::ReadOnly));
        const QByteArray bytes = full.readAll();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("damaged.so"));

        const auto readBack = [&](const QByteArray &content) {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(content);
            out.close();
            const cTavexVersion v(path);
            QCOMPARE(v.fileName(), path);
        };
        for (qsizetype cut = 0; cut < bytes.size(); cut += qMax<qsizetype>(1, bytes.size() / 97))
            readBack(bytes.left(cut));
        // Header fields that point far outside the file.
        for (int offset : {0x20, 0x28, 0x30, 0x3A, 0x3C}) {
            QByteArray damaged = bytes;
            for (int i = 0; i < 8 && offset + i < damaged.size(); ++i)
                damaged[offset + i] = char(0xFF);
            readBack(damaged);
        }
    }
};

QTEST_GUILESS_MAIN(tst_cTavexVersion)
#include "tst_cTavexVersion.moc"

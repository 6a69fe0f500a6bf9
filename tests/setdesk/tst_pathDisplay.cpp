#include "pathDisplay.h"
#include "pathDisplayLabel.h"

#include <QLabel>
#include <QLayout>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTest>

namespace {

bool isBlue(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText) == QColor(Qt::blue);
}

bool hasHandCursor(const QLabel *label)
{
    return label->testAttribute(Qt::WA_SetCursor) && label->cursor().shape() == Qt::PointingHandCursor;
}

} // namespace

class tst_pathDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.setdesk.debug=true"));
    }

    void parts_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QList<bool>>("keyParts");

        const QStringList keys{"Routing", "Routing/Panels"};
        QTest::newRow("below two keys") << keys << "Routing/Panels/Extra"
                                        << QStringList{"Routing", "Panels", "Extra"}
                                        << QStringList{"Routing", "Routing/Panels", "Routing/Panels/Extra"}
                                        << QList<bool>{true, true, false};
        QTest::newRow("one part") << keys << "Routing" << QStringList{"Routing"} << QStringList{"Routing"}
                                  << QList<bool>{true};
        // Keys match whole cumulative paths, not prefixes or case variants.
        QTest::newRow("no part a key") << keys << "routing/Pan"
                                       << QStringList{"routing", "Pan"} << QStringList{"routing", "routing/Pan"}
                                       << QList<bool>{false, false};
        QTest::newRow("key in the middle only") << QStringList{"A/B"} << "A/B/C"
                                                << QStringList{"A", "B", "C"} << QStringList{"A", "A/B", "A/B/C"}
                                                << QList<bool>{false, true, false};
        QTest::newRow("empty") << keys << "" << QStringList() << QStringList() << QList<bool>();
    }

    void parts()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, path);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, paths);
        QFETCH(QList<bool>, keyParts);

        pathDisplay display;
        display.setKeys(keys);
        // Shown twice: the second row replaces the first rather than adding to it.
        display.setPath(QStringLiteral("Other/Path/Before"));
        display.setPath(path);
        QCOMPARE(display.path(), path);

        const QList<pathDisplayLabel *> parts = display.parts();
        QStringList shownTexts, shownPaths;
        for (int i = 0; i < parts.size(); ++i) {
            shownTexts << parts.at(i)->text();
            shownPaths << parts.at(i)->path();
            QCOMPARE(isBlue(parts.at(i)), keyParts.at(i));
            QCOMPARE(hasHandCursor(parts.at(i)), keyParts.at(i));
        }
        QCOMPARE(shownTexts, texts);
        QCOMPARE(shownPaths, paths);

        const QList<QLabel *> separators = display.separators();
        QCOMPARE(separators.size(), qMax(0, int(texts.size()) - 1));
        for (const QLabel *separator : separators) {
            QCOMPARE(separator->text(), QStringLiteral(">"));
            QVERIFY(!qobject_cast<const pathDisplayLabel *>(separator));
        }

        // The row: parts and ">" alternating, then one expanding spacer.
        QLayout *row = display.layout();
        QCOMPARE(row->count(), int(parts.size() + separators.size()) + 1);
        for (int i = 0; i + 1 < row->count(); ++i)
            QCOMPARE(row->itemAt(i)->widget(), i % 2 ? separators.at(i / 2) : static_cast<QLabel *>(parts.at(i / 2)));
        QSpacerItem *spacer = row->itemAt(row->count() - 1)->spacerItem();
        QVERIFY(spacer && spacer->sizePolicy().horizontalPolicy() == QSizePolicy::Expanding);
        QCOMPARE(row->spacing(), 4);

        // The labels of the first row are gone once the event loop has run.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(display.findChildren<QLabel *>().size(), parts.size() + separators.size());
    }

    void preferredSize()
    {
        pathDisplay display;
        display.setKeys({QStringLiteral("A")});
        display.setPath(QStringLiteral("A/B"));
        int tallest = 0;
        for (const QLabel *label : display.findChildren<QLabel *>())
            tallest = qMax(tallest, label->sizeHint().height());
        QVERIFY(tallest > 0);
        QCOMPARE(display.sizeHint(), QSize(30, tallest));
    }

    void clickNavigates_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<QString>("target");
        QTest::newRow("key part") << 1 << "Routing/Panels";
        // Parts that are no key navigate too; the main window decides.
        QTest::newRow("plain part") << 2 << "Routing/Panels/Extra";
    }

    void clickNavigates()
    {
        QFETCH(int, part);
        QFETCH(QString, target);
        pathDisplay display;
        display.setKeys({QStringLiteral("Routing"), QStringLiteral("Routing/Panels")});
        display.setPath(QStringLiteral("Routing/Panels/Extra"));
        display.show();
        QVERIFY(QTest::qWaitForWindowExposed(&display));
        QSignalSpy spy(&display, &pathDisplay::command);

        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("label has been clicked: ") + target));
        QTest::mouseClick(display.parts().at(part), Qt::LeftButton);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0), (QVariantList{QStringLiteral("navigate"), target}));

        // No command for a separator, another button, or a press dragged off.
        QTest::mouseClick(display.separators().at(0), Qt::LeftButton);
        QTest::mouseClick(display.parts().at(part), Qt::RightButton);
        pathDisplayLabel *label = display.parts().at(part);
        QTest::mousePress(label, Qt::LeftButton);
        QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(-5, -5));
        QCOMPARE(spy.size(), 1);
    }

    void clickThatChangesThePath()
    {
        // The main window answers "navigate" by showing the new key at once,
        // while the clicked label is still in its mouse handler.
        pathDisplay display;
        display.setKeys({QStringLiteral("A"), QStringLiteral("A/B")});
        display.setPath(QStringLiteral("A/B/C"));
        display.show();
        QVERIFY(QTest::qWaitForWindowExposed(&display));
        connect(&display, &pathDisplay::command, &display,
                [&display](const QString &, const QString &path) { display.setPath(path); });
        QTest::ignoreMessage(QtDebugMsg, "label has been clicked: A");
        QTest::mouseClick(display.parts().at(0), Qt::LeftButton);
        QCOMPARE(display.path(), QStringLiteral("A"));
        QCOMPARE(display.parts().size(), 1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(display.findChildren<QLabel *>().size(), 1);
    }
};

QTEST_MAIN(tst_pathDisplay)
#include "tst_pathDisplay.moc"

#include "editSettings.h"
#include "keepyard.h"
#include "keepyardDialog.h"
#include "logLine.h"
#include "serverSettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace {

using modalAnswer = std::function<void(QWidget *)>;

// Runs `action` and hands each modal window it opens, in order, to the next
// answer. A window without an answer, or one its answer leaves open, is
// rejected after a few seconds so that a failing test cannot hang. Returns
// the number of modal windows seen.
int answerModals(const std::function<void()> &action, const QList<modalAnswer> &answers)
{
    int seen = 0;
    QPointer<QWidget> current;
    QElapsedTimer shown;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (modal != current) {
            current = modal;
            shown.start();
            if (seen++ < answers.size())
                answers.at(seen - 1)(modal);
        } else if (shown.elapsed() > 5000) {
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->close();
        }
    });
    poll.start();
    action();
    return seen;
}

QAction *menuAction(QMainWindow *window, const QString &text)
{
    const QList<QAction *> actions = window->menuBar()->findChildren<QAction *>();
    for (QAction *action : actions) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The raw "key=value" line of the settings file, or a null text.
QByteArray iniLine(const QString &path, const QByteArray &key)
{
    const QList<QByteArray> lines = readAll(path).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + '='))
            return line;
    }
    return QByteArray();
}

} // namespace

class tst_keepyardDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.keepyard.info=false"));
        QVERIFY(m_root.isValid());

        // Ports free on loopback right now, so that tests can run side by side.
        {
            QTcpServer tcp;
            QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
            m_port = tcp.serverPort();
            QUdpSocket udp;
            QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
            m_broadcastPort = udp.localPort();
        }
        m_iniPath = serverSettings::filePath(m_root.path());
        QFile ini(m_iniPath);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Server]\nPort=%1\nBroadcastPort=%2\nDescription=%3\n")
                      .arg(m_port)
                      .arg(m_broadcastPort)
                      .arg(description)
                      .toUtf8());
        ini.close();

        qputenv("QX_ROOT", QFile::encodeName(m_root.path()));
        m_window = std::make_unique<keepyardDialog>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(m_window->server()->isListening());
    }

    void cleanupTestCase()
    {
        m_window.reset();
    }

    void captionFromSettings()
    {
        QCOMPARE(m_window->windowTitle(),
                 QStringLiteral("TAVEX Configuration Server - (\"%1\" - Ports %2/%3)")
                     .arg(description, QString::number(m_port), QString::number(m_broadcastPort)));
    }

    void logKeepsLastLines()
    {
        m_window->llt_clear();
        for (int i = 0; i < 250; ++i)
            logLine(QStringLiteral("line %1").arg(i));
        const QTextDocument *document = m_window->log->document();
        QCOMPARE(document->blockCount(), 200);
        QCOMPARE(document->firstBlock().text(), QStringLiteral("line 50"));
        QCOMPARE(document->lastBlock().text(), QStringLiteral("line 249"));
    }

    void clearButtonEmptiesLog()
    {
        logLine(QStringLiteral("something to clear"));
        QVERIFY(!m_window->log->toPlainText().isEmpty());
        QTest::mouseClick(m_window->clear, Qt::LeftButton);
        QVERIFY(m_window->log->toPlainText().isEmpty());
        logLine(QStringLiteral("after clearing"));
        QCOMPARE(m_window->log->toPlainText(), QStringLiteral("after clearing"));
    }

    void sessionListedUntilItCloses()
    {
        m_window->llt_clear();
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, m_port);
        QTRY_VERIFY(peer.bytesAvailable() >= 7);
        QCOMPARE(peer.readAll(), QByteArray("<xml>\r\n"));

        QTRY_COMPARE(m_window->users->count(), 1);
        QCOMPARE(m_window->users->item(0)->text(), QStringLiteral(" - 127.0.0.1"));
        QVERIFY(m_window->log->toPlainText().contains(
            QStringLiteral("New client on '127.0.0.1/%1'").arg(peer.localPort())));

        peer.disconnectFromHost();
        QTRY_COMPARE(m_window->users->count(), 0);
    }

    void configure_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("broadcastPort");
        QTest::newRow("new values") << true << "Second yard" << "40100" << "40101";
        QTest::newRow("kept as typed") << true << "  spaced, \"quoted\" %1  " << "80x" << "";
        QTest::newRow("cancelled") << false << "never stored" << "1" << "2";
    }

    // The file takes the texts as typed; the running server keeps its ports.
    void configure()
    {
        QFETCH(bool, accept);
        QFETCH(QString, name);
        QFETCH(QString, port);
        QFETCH(QString, broadcastPort);
        const QByteArray oldContent = readAll(m_iniPath);

        QStringList shownValues;
        QString infoTitle, infoText;
        const modalAnswer fillIn = [&](QWidget *modal) {
            auto *dialog = qobject_cast<editSettings *>(modal);
            if (!dialog)
                return;
            shownValues << dialog->serverName->text() << dialog->serverPort->text()
                        << dialog->serverBroadcastPort->text();
            const std::pair<QLineEdit *, QString> fields[] = {
                {dialog->serverName, name}, {dialog->serverPort, port}, {dialog->serverBroadcastPort, broadcastPort}};
            for (const auto &[edit, text] : fields) {
                edit->clear();
                QTest::keyClicks(edit, text);
            }
            QTest::mouseClick(accept ? dialog->buttonOk : dialog->buttonCancel, Qt::LeftButton);
        };
        const modalAnswer readInfo = [&](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                infoTitle = box->windowTitle();
                infoText = box->text();
                box->accept();
            }
        };

        QAction *configureAction = menuAction(m_window.get(), QStringLiteral("&Configure Server"));
        QVERIFY(configureAction);
        const int windows = answerModals([&] { configureAction->trigger(); }, {fillIn, readInfo});

        // The dialog always starts from the values the server runs with.
        QCOMPARE(shownValues, QStringList({description, QString::number(m_port), QString::number(m_broadcastPort)}));
        if (accept) {
            QCOMPARE(windows, 2);
            QCOMPARE(infoTitle, QStringLiteral("Information"));
            QCOMPARE(infoText, QStringLiteral("You need to restart this application for these changes to take effect"));
            QCOMPARE(iniLine(m_iniPath, "Port"), "Port=" + port.toUtf8());
            QCOMPARE(iniLine(m_iniPath, "BroadcastPort"), "BroadcastPort=" + broadcastPort.toUtf8());
            QCOMPARE(iniLine(m_iniPath, "Description"), "Description=" + name.toUtf8());
        } else {
            QCOMPARE(windows, 1);
            QCOMPARE(readAll(m_iniPath), oldContent);
        }
        QVERIFY(m_window->server()->isListening());
        QCOMPARE(m_window->server()->serverPort(), m_port);
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("Ports %1/%2").arg(m_port).arg(m_broadcastPort)));
    }

    // A settings file that cannot be written is reported, not passed off
    // with the restart notice.
    void configureReportsUnwritableSettings()
    {
        const QString saved = m_iniPath + QStringLiteral(".saved");
        QFile::remove(saved);
        QVERIFY(QFile::rename(m_iniPath, saved));
        QVERIFY(QDir().mkdir(m_iniPath));

        QString boxText;
        const modalAnswer ok = [](QWidget *modal) {
            if (auto *dialog = qobject_cast<editSettings *>(modal))
                dialog->buttonOk->click();
        };
        const modalAnswer readBox = [&](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                boxText = box->text();
                box->accept();
            }
        };
        const int windows = answerModals([&] { m_window->doConfigure(); }, {ok, readBox});

        QVERIFY(QDir().rmdir(m_iniPath));
        QVERIFY(QFile::rename(saved, m_iniPath));
        QCOMPARE(windows, 2);
        QVERIFY2(boxText.startsWith(QStringLiteral("The settings could not be written")), qPrintable(boxText));
    }

    void aboutShowsProgramVersion()
    {
        QString title, text;
        QSize logo;
        const modalAnswer readAbout = [&](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                title = box->windowTitle();
                text = box->text();
                logo = box->iconPixmap().size();
                box->accept();
            }
        };
        QAction *about = menuAction(m_window.get(), QStringLiteral("&About"));
        QVERIFY(about);
        QCOMPARE(answerModals([&] { about->trigger(); }, {readAbout}), 1);
        QCOMPARE(title, QStringLiteral("QX Configuration Server - Application About...."));
        QCOMPARE(text, QStringLiteral("<h3>About TAVEX Configuration Server</h3><p>Version: 4.5.3.0</p>"));
        QCOMPARE(logo, QSize(112, 52));
    }

    // Runs last: the window goes while a session is still connected, and
    // later log lines must not reach it.
    void closingWithLiveSession()
    {
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, m_port);
        QTRY_COMPARE(m_window->users->count(), 1);
        m_window.reset();
        logLine(QStringLiteral("after the window"));
        QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
    }

private:
    static inline const QString description = QStringLiteral("Test \"yard\" %2 50%");

    QTemporaryDir m_root;
    QString m_iniPath;
    quint16 m_port = 0;
    quint16 m_broadcastPort = 0;
    std::unique_ptr<keepyardDialog> m_window;
};

QTEST_MAIN(tst_keepyardDialog)
#include "tst_keepyardDialog.moc"

#include "editorFixture.h"

#include "HelpWindow.h"
#include "clientFolder.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

namespace {

const QString north = QStringLiteral("North");

class recordingWindowUi : public windowUi
{
public:
    explicit recordingWindowUi(QStringList &boxes)
        : m_boxes(boxes)
    {
    }
    void information(QWidget *, const QString &title, const QString &text) override { m_boxes << title + ": " + text; }
    bool abandon(QWidget *, const QString &title, const QString &text) override
    {
        m_boxes << title + ": " + text;
        return true;
    }
    void about(QWidget *, const QString &title, const QString &text) override { m_boxes << title + ": " + text; }
    void open(const QString &target) override { m_boxes << QStringLiteral("open: ") + target; }

private:
    QStringList &m_boxes;
};

class recordingCommsUi : public commsUi
{
public:
    explicit recordingCommsUi(QStringList &errors)
        : m_errors(errors)
    {
    }
    void critical(const QString &title, const QString &text) override { m_errors << title + ": " + text; }
    void quit() override {}

private:
    QStringList &m_errors;
};

void copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = to + file.mid(from.size());
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile::copy(file, target);
    }
}

} // namespace

editorFixture::editorFixture()
{
    prepare();
    m_server = std::make_unique<serverFixture>();
    m_root = m_server->root();
    m_port = m_server->port();
    installPlugin(m_root + QLatin1Char('/') + north);
}

editorFixture::editorFixture(const QString &root, quint16 port)
    : m_root(root), m_port(port)
{
    prepare();
}

void editorFixture::installPlugin(const QString &systemFolder)
{
    const QString plugins = systemFolder + QStringLiteral("/config/plugins");
    QDir().mkpath(plugins);
    QFile::copy(QStringLiteral(EDITORS_PLUGIN), plugins + QStringLiteral("/libtavex_editors.so"));
    copyTree(QStringLiteral(EDITORS_DOC_DIR), plugins + QStringLiteral("/doc"));
}

void editorFixture::prepare()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_work.filePath(QStringLiteral("settings")));
    QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk")).clear();
    HelpWindow::setStorageFolder(m_work.filePath(QStringLiteral("settings")));
    clientFolder::setOverride(m_work.filePath(QStringLiteral("client")));
}

editorFixture::~editorFixture()
{
    m_window.reset();
    delete m_comms.data();
    clientFolder::setOverride(QString());
}

void editorFixture::makeFile(const QString &path, const QByteArray &content)
{
    const QString file = stored(path);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
    f.close();
    serverFixture::setDate(file, serverFixture::fixedDate());
}

QString editorFixture::stored(const QString &path) const
{
    return m_root + QLatin1Char('/') + north + QLatin1Char('/') + path;
}

QByteArray editorFixture::storedContent(const QString &path) const
{
    QFile f(stored(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList editorFixture::backups() const
{
    return QDir(stored(QStringLiteral("backup"))).entryList({QStringLiteral("*")}, QDir::Files, QDir::Name)
        .filter(QRegularExpression(QStringLiteral("\\.\\d+$")));
}

QString editorFixture::local(const QString &path) const
{
    return clientFolder::path() + QLatin1Char('/') + north + QLatin1Char('/') + path;
}

bool editorFixture::logIn(const QString &user, const QString &password)
{
    answers.expect("selectsystem", chooseSystem(north));
    answers.expect("login", enterLogin(user, password));
    m_comms = new server_comms(nullptr, QStringLiteral("Kestrel"), QStringLiteral("127.0.0.1"), m_port,
                               std::make_unique<recordingCommsUi>(connectionErrors));
    m_window = std::make_unique<setdeskMainWindow>(m_comms, false, pluginLibrary::buildFilter::none,
                                                   std::make_unique<recordingWindowUi>(boxes));
    QObject::connect(m_comms, &server_comms::setServer, m_window.get(), &setdeskMainWindow::setServer);
    QObject::connect(m_comms, qOverload<response &, QString &>(&server_comms::event), m_window.get(),
                     &setdeskMainWindow::commsEvent);
    QDeadlineTimer deadline(15000);
    while (!m_window->host().editor(QStringLiteral("Home")) && !deadline.hasExpired())
        QTest::qWait(10);
    return m_window->host().editor(QStringLiteral("Home")) != nullptr;
}

config_plugin_base *editorFixture::open(const QString &key)
{
    QMetaObject::invokeMethod(m_window.get(), "command", Q_ARG(QString, QStringLiteral("navigate")), Q_ARG(QString, key));
    return m_window->host().editor(key);
}

bool editorFixture::lockAsOtherUser(const QString &path)
{
    if (!m_other) {
        m_other = std::make_unique<testPeer>(m_port);
        if (!m_other->logIn(QStringLiteral("Admin"), QStringLiteral("adminpw"), north))
            return false;
    }
    m_other->send(QStringLiteral("<lock type=\"request\" uid=\"other\" system=\"North\" >\r\n\t<file name=\"%1\"/>\r\n</lock>\r\n")
                      .arg(path.toHtmlEscaped())
                      .toUtf8());
    QByteArray reply;
    QDeadlineTimer deadline(5000);
    while (!reply.contains("</lock>") && !deadline.hasExpired())
        reply += m_other->drain(20);
    return reply.contains("type=\"reply\" />");
}

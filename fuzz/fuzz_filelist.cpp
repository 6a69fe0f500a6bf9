// The editor's reading of file lists: arbitrary bytes as the server's reply
// stream (after its greeting), read by xml_reader in pieces whose size the
// first byte chooses, with every "synclist" reply going to setdesk's
// synclist_handler. It compares the list with a small local copy, deletes
// what only the local copy has, and writes its requests to a scripted
// server, which checks that they are well-formed XML.
//
// The handler needs a whole server_comms (local paths, the wait dialog, the
// socket its requests go to). server_comms's own dispatch would also hand
// login and systems replies to handlers that open modal dialogs, so the
// stream is dispatched here the way server_comms does it, for synclist only.
#include "clientFolder.h"
#include "doWaitDialog.h"
#include "download_list.h"
#include "fuzzSupport.h"
#include "lock_list.h"
#include "replies/synclist_handler.h"
#include "server_comms.h"
#include "xml_handler.h"
#include "xml_reader.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QTcpServer>
#include <QThread>

#include <memory>

namespace {

using namespace fuzzSupport;

constexpr qsizetype pieceSizes[] = {1 << 30, 509, 61, 7};
constexpr int maxRounds = 200;

// No message boxes and no quitting.
class silentUi : public commsUi
{
public:
    void critical(const QString &, const QString &) override {}
    void quit() override {}
};

// server_comms's dispatch of the server's top-level elements, for synclist.
class replyStream : public xml_handler
{
public:
    explicit replyStream(server_comms *comms)
        : m_comms(comms)
    {
    }

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override
    {
        if (m_handler) {
            m_handler->startElement(name, attributes);
        } else if (name == u"xml") {
            m_depth = 0;
            return true;
        } else {
            m_depth = 0;
            if (name == u"synclist") {
                m_handler = std::make_unique<setdesk::synclist_handler>(m_comms);
                m_handler->startElement(name, attributes);
            }
        }
        ++m_depth;
        return true;
    }

    bool endElement(QStringView name) override
    {
        if (m_depth > 0)
            --m_depth;
        if (m_depth == 0) {
            if (m_handler) {
                std::unique_ptr<setdesk::reply_handler> handler = std::move(m_handler);
                handler->endElement(name);
            }
        } else if (m_handler) {
            m_handler->endElement(name);
        }
        return true;
    }

    bool characters(QStringView text) override
    {
        if (m_handler)
            m_handler->characters(text);
        return true;
    }

private:
    server_comms *m_comms;
    std::unique_ptr<setdesk::reply_handler> m_handler;
    int m_depth = 0;
};

// The scratch tree (the editor's folder and a folder beside it that no
// input may reach) and the connection with its scripted server.
struct fixture
{
    QString base;
    QString client;
    QString outside;
    folderWatch work;  // the editor's folder
    folderWatch fence; // the folder holding it, and the one beside it
    QTcpServer *listener = nullptr;
    QTcpSocket *peer = nullptr;
    server_comms *comms = nullptr;
};

bool runEvents()
{
    return QThread::currentThread()->eventDispatcher()->processEvents(QEventLoop::AllEvents);
}

// The editor's folder with a local copy of North and one lock, as every
// input finds it; made again whenever an input changed it.
void buildClient(const fixture &f)
{
    QDir(f.client).removeRecursively();
    const QString north = f.client + QStringLiteral("/North/");
    writeFile(north + QStringLiteral("config/s/same.txt"), "SAME");
    writeFile(north + QStringLiteral("config/s/later2.txt"), "LLLL", fixedDate().addSecs(2));
    writeFile(north + QStringLiteral("config/s/Local.TXT"), "only here");
    writeFile(north + QStringLiteral("config/s/sub/kept.txt"), "KEPT");
    writeFile(north + QStringLiteral("config/keep.txt"), "outside the folder");
    lock_list(QStringLiteral("North")).add(QStringLiteral("p1"), QStringLiteral("config/s/sub"));
}

// Made once: the connection lives for the whole run.
fixture &setup()
{
    static fixture *made = [] {
        auto *f = new fixture;
        f->base = scratchFolder();
        f->client = f->base + QStringLiteral("/client");
        f->outside = f->base + QStringLiteral("/outside");
        writeFile(f->outside + QStringLiteral("/keep.txt"), "beside the local copies");
        writeFile(f->outside + QStringLiteral("/North/config/s/same.txt"), "SAME");
        clientFolder::setOverride(f->client);
        buildClient(*f);
        f->work.watch(f->client, true);
        f->fence.watch(f->base, false, folderWatch::events::changesAndReads);
        f->fence.watch(f->outside, true, folderWatch::events::changesAndReads);

        f->listener = new QTcpServer;
        if (!f->listener->listen(QHostAddress::LocalHost, 0))
            fail("cannot listen on the loopback address");
        f->comms = new server_comms(nullptr, QStringLiteral("Kestrel"), QStringLiteral("127.0.0.1"),
                                    f->listener->serverPort(), std::make_unique<silentUi>());
        for (int round = 0; round < 5000 && !f->listener->hasPendingConnections(); ++round)
            runEvents();
        f->peer = f->listener->nextPendingConnection();
        if (!f->peer)
            fail("the connection did not reach the scripted server");
        // The editor's requests, one document since the connection opened
        // (its own <xml> is written only on the greeting, which goes past it here).
        static streamCheck requests("the editor's requests are not well-formed XML:");
        requests.feed("<xml>");
        QObject::connect(f->peer, &QIODevice::readyRead, f->peer, [peer = f->peer] { requests.feed(peer->readAll()); });
        // The wait dialog's first showing loads the font database (see
        // lsan.supp): here rather than in whichever input comes first.
        f->comms->waitDialog()->beginWait(QStringLiteral("warming up"));
        runEvents();
        f->comms->waitDialog()->endWait(QStringLiteral("warmed up"));
        f->fence.changes(); // the watching itself read the folders
        return f;
    }();
    return *made;
}

// Fails when anything beside the editor's folder was changed or read, and
// on list handles left open; makes the editor's folder afresh after changes
// in it.
void afterInput()
{
    fixture &f = setup();
    const QStringList beside = f.fence.changes(QStringLiteral("client"));
    if (!beside.isEmpty())
        fail("changed or read beside the editor's folder:", beside.join(QLatin1Char(' ')));
    if (lock_list::handleCount() != 0 || download_list::handleCount() != 0)
        fail("a lock or download list handle outlived its reply");
    if (f.work.changes().isEmpty())
        return;
    f.work.clear();
    buildClient(f);
    f.work.watch(f.client, true);
    f.fence.changes(); // the editor's folder itself made again
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startApplication(appKind::widgets);
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = pieceSizes[data[0] & 3];
    QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    fixture &f = setup();

    replyStream stream(f.comms);
    xml_reader reader(&stream);
    reader.feed("<xml>\r\n");
    while (!input.isEmpty() && reader.status() == xml_reader::NeedMore) {
        const qsizetype n = qMin(piece, input.size());
        reader.feed(input.first(n));
        input = input.sliced(n);
    }

    // The requests the handler wrote go to the scripted server, which drops them.
    f.comms->flush();
    for (int round = 0, quiet = 0; round < maxRounds && quiet < 2; ++round)
        quiet = runEvents() ? 0 : quiet + 1;
    while (f.comms->waitDialog()->count() > 0)
        f.comms->waitDialog()->endWait(QString());
    afterInput();
    return 0;
}

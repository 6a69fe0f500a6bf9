// A keepyard session fed arbitrary bytes over one end of a socket pair, as
// a peer that is not logged in (first byte even) or that has logged in
// (first byte odd). The next three bits of the first byte choose the size of
// the pieces the rest is written in: whole for half the values, as small
// pieces cost a read and an event round each.
#include "fuzzSupport.h"
#include "keepyard.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace fuzzSupport;

const QByteArray loginRequest = "<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />\r\n";
constexpr qsizetype whole = 1 << 30;
constexpr qsizetype pieceSizes[] = {whole, whole, whole, whole, 509, 127, 61, 7};
// Event rounds without news after which the session is taken as done with
// the input; and a bound on all rounds after the input has been written.
constexpr int quietRounds = 3;
constexpr int maxRounds = 2000;

// The server with its accept path open to the harness.
class fuzzServer : public keepyard
{
public:
    // An invalid port: the server opens no listening socket at all.
    explicit fuzzServer(const QString &root)
        : keepyard(nullptr, -1, root)
    {
        if (isListening())
            close();
    }
    using keepyard::incomingConnection;
};

// The scratch tree: the installation root, and a folder beside it that no
// input may reach.
struct installation
{
    QString base;
    QString root;
    QString outside;
    QString peerText;  // what a session on a socket pair takes as its peer's address
    folderWatch work;  // the root
    folderWatch fence; // the folder holding the root, and the one beside it
};

// The root as every input finds it; made again whenever an input changed it.
void buildRoot(const installation &at)
{
    const QString &root = at.root;
    QDir(root).removeRecursively();
    const QString north = root + QStringLiteral("/North");
    writeFile(north + QStringLiteral("/config/keepyard_password.ini"),
              "[Users]\r\nops=secret\r\nAdmin=adminpw\r\n[Level]\r\nops=2\r\nadmin=9\r\n");
    writeFile(north + QStringLiteral("/config/a.txt"), "alpha");
    writeFile(north + QStringLiteral("/config/b.ini"), "[Section]\r\nkey=value\r\n");
    writeFile(north + QStringLiteral("/config/locked.txt"), "held by Admin");
    writeFile(north + QStringLiteral("/config/mine.txt"), "held by ops");
    writeFile(north + QStringLiteral("/config/d/x.txt"), "x");
    writeFile(north + QStringLiteral("/config/d/sub/y.txt"), "y");
    writeFile(north + QStringLiteral("/server_lock_list.txt"),
              "config/locked.txt=Admin,127.0.0.1\r\nconfig/mine.txt=ops," + at.peerText.toUtf8()
                  + "\r\nconfig/d/sub=Admin,127.0.0.1\r\n");
    makeFolder(north + QStringLiteral("/data"));
    makeFolder(root + QStringLiteral("/South/config"));
    writeFile(root + QStringLiteral("/config.txt"), "a file at the top is no system");
    for (const char *folder : {"/North/config/d/sub", "/North/config/d", "/North/config", "/North", "/South", ""})
        makeFolder(root + QLatin1String(folder));
}

installation &setup()
{
    static installation *made = [] {
        auto *at = new installation;
        at->base = scratchFolder();
        at->root = at->base + QStringLiteral("/root");
        at->outside = at->base + QStringLiteral("/outside");
        // Beside the root: no request may change or read these.
        writeFile(at->outside + QStringLiteral("/keep.txt"), "outside the root");
        writeFile(at->outside + QStringLiteral("/config/keepyard_password.ini"), "[Users]\r\nops=other\r\n");
        {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
                fail("socketpair failed");
            fuzzServer probe(at->root);
            probe.incomingConnection(fds[0]);
            if (probe.sessions().size() != 1)
                fail("a session does not take a socket pair");
            at->peerText = probe.sessions().first()->peerText();
            ::close(fds[1]);
        }
        buildRoot(*at);
        at->work.watch(at->root, true);
        at->fence.watch(at->base, false, folderWatch::events::changesAndReads);
        at->fence.watch(at->outside, true, folderWatch::events::changesAndReads);
        at->fence.changes(); // the watching itself read the folders
        return at;
    }();
    return *made;
}

// Fails when anything beside the root was changed or read; makes the root
// afresh after changes in it.
void afterInput()
{
    installation &at = setup();
    const QStringList beside = at.fence.changes(QStringLiteral("root"));
    if (!beside.isEmpty())
        fail("changed or read beside the root:", beside.join(QLatin1Char(' ')));
    if (at.work.changes().isEmpty())
        return;
    at.work.clear();
    buildRoot(at);
    at.work.watch(at.root, true);
    at.fence.changes(); // the root itself made again
}

// True when anything happened.
bool runEvents()
{
    return QThread::currentThread()->eventDispatcher()->processEvents(QEventLoop::AllEvents);
}

// The harness's end of the pair: writes input, reads the replies and checks
// that they are well-formed XML, as the editor needs them to be (unless
// TAVEX_FUZZ_REPLY_CHECK=0). With TAVEX_FUZZ_VERBOSE set the replies are
// shown too.
class peerEnd
{
public:
    explicit peerEnd(int fd)
        : m_fd(fd)
    {
        static const bool checkReplies = qEnvironmentVariable("TAVEX_FUZZ_REPLY_CHECK") != u"0";
        if (checkReplies)
            m_check = std::make_unique<streamCheck>("the server's replies are not well-formed XML:");
    }

    ~peerEnd()
    {
        if (m_shown)
            std::fprintf(stderr, "\n--- end of replies\n");
    }

    // True when replies arrived.
    bool drain()
    {
        bool any = false;
        char buffer[16 * 1024];
        static const bool show = !qEnvironmentVariableIsEmpty("TAVEX_FUZZ_VERBOSE");
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0; any = true) {
            if (show) {
                std::fwrite(buffer, 1, size_t(n), stderr);
                m_shown = true;
            }
            if (m_check)
                m_check->feed(QByteArrayView(buffer, n));
        }
        return any;
    }

    void write(QByteArrayView bytes)
    {
        // A session that stops reading leaves the rest unwritten.
        for (int blocked = 0; !bytes.isEmpty() && blocked < maxRounds;) {
            const ssize_t n = ::send(m_fd, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return; // the session has closed its end (EPIPE)
            blocked = n > 0 ? 0 : blocked + 1;
            if (n > 0)
                bytes = bytes.sliced(n);
            // Each piece is read by the session before the next one is written.
            runEvents();
            drain();
        }
    }

private:
    int m_fd;
    std::unique_ptr<streamCheck> m_check;
    bool m_shown = false;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startApplication(appKind::core);
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool loggedIn = data[0] & 1;
    const qsizetype piece = pieceSizes[(data[0] >> 1) & 7];
    QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    installation &at = setup();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        fail("socketpair failed");
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);

    auto server = std::make_unique<fuzzServer>(at.root);
    server->incomingConnection(fds[0]); // the session owns fds[0] from here on
    if (server->sessions().size() != 1)
        fail("the session did not take the socket");
    peerEnd peer(fds[1]);
    if (loggedIn)
        peer.write(loginRequest);
    while (!input.isEmpty()) {
        const qsizetype n = qMin(piece, input.size());
        peer.write(input.first(n));
        input = input.sliced(n);
    }
    // The replies are taken while the peer still listens: Qt drops what a
    // socket has not yet written when it reads the end of the input. Then
    // the session sees the peer close.
    const auto settle = [&] {
        for (int round = 0, quiet = 0; round < maxRounds && quiet < quietRounds && !server->sessions().isEmpty();
             ++round) {
            const bool news = runEvents();
            quiet = peer.drain() || news ? 0 : quiet + 1;
        }
    };
    settle();
    ::shutdown(fds[1], SHUT_WR);
    settle();
    // A session still waiting for anything (a close delayed to flush replies)
    // goes with its server.
    server.reset();
    ::close(fds[1]);
    runEvents();
    afterInput();
    return 0;
}

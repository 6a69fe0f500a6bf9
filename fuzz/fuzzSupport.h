#pragma once

#include "xml_handler.h"
#include "xml_reader.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

// Entry points of a libFuzzer target; the replay test calls them too.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// What the fuzz targets share: the application object, a scratch folder
// and the files they plant in it.
namespace fuzzSupport {

enum class appKind { core, widgets };

// Creates the application once, offscreen. Qt's messages are dropped (the
// servers log every request) unless TAVEX_FUZZ_VERBOSE is set.
void startApplication(appKind kind);

// A folder of this process's own, removed at exit. It lies below
// TAVEX_FUZZ_TMPDIR, else below /dev/shm where it can write there, else
// below the temporary folder.
QString scratchFolder();

// The date every planted file and folder carries, so that listings and
// comparisons do not depend on when a run started.
QDateTime fixedDate();
void writeFile(const QString &path, const QByteArray &content, const QDateTime &when = fixedDate());
void makeFolder(const QString &path, const QDateTime &when = fixedDate());

// Reports, through inotify, what happened in a set of folders: one read per
// input where a fresh copy of a tree would cost a thousand file operations.
class folderWatch
{
public:
    enum class events { changes, changesAndReads };

    folderWatch();
    ~folderWatch();
    folderWatch(const folderWatch &) = delete;
    folderWatch &operator=(const folderWatch &) = delete;

    // Watches `folder`, and with `recursive` every folder below it; with
    // changesAndReads also the opening and reading of its entries.
    void watch(const QString &folder, bool recursive, events kind = events::changes);
    // Drops every watch.
    void clear();
    // What happened since the last call, as "folder/name: inotify bits",
    // leaving out mere reads of entries named `readable`.
    QStringList changes(const QString &readable = QString());

private:
    int m_fd = -1;
    QHash<int, QString> m_folders;
};

// Reads a stream of protocol messages the way the peer does and fails on
// the first byte that makes it malformed XML, showing the bytes before it.
// A stream that merely stops (a closed connection) is no fault.
class streamCheck : public xml_handler
{
public:
    explicit streamCheck(const char *what);
    void feed(QByteArrayView bytes);

private:
    const char *m_what;
    xml_reader m_reader;
    QByteArray m_tail; // the last bytes read, for the report
};

// Reports a broken property of the code under test and aborts, so that the
// fuzzer keeps the input.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

} // namespace fuzzSupport

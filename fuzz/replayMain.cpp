// Runs a fuzz target, without libFuzzer, over every file of the folders
// compiled in (TAVEX_REPLAY_REGRESSIONS, TAVEX_REPLAY_SEEDS) and of those
// given as arguments. A fault ends the process; otherwise it says how many ran.
#include "fuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    QStringList folders{QStringLiteral(TAVEX_REPLAY_REGRESSIONS), QStringLiteral(TAVEX_REPLAY_SEEDS)};
    for (int i = 1; i < argc; ++i)
        folders << QString::fromLocal8Bit(argv[i]);

    int replayed = 0;
    for (const QString &folder : std::as_const(folders)) {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QFileInfo &info : files) {
            QFile f(info.filePath());
            if (!f.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(info.filePath()));
                return 1;
            }
            const QByteArray input = f.readAll();
            // Named before it runs, so that a crash shows which input it was.
            std::fprintf(stderr, "replaying %s\n", qPrintable(info.filePath()));
            std::fflush(stderr);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    // No input at all means the folders are wrong, not that all is well.
    return replayed > 0 ? 0 : 1;
}

#include <procDefCheck.h>

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: proc_def_check FILE\n");
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const QList<procDefCheck::problem> problems = procDefCheck::check(file.readAll());
    for (const procDefCheck::problem &p : problems)
        std::printf("%s\n", qPrintable(procDefCheck::describe(p)));
    return problems.isEmpty() ? 0 : 1;
}

#include "procDefFile.h"

#include "utf8Text.h"

#include <QList>

std::vector<procDefFile::section> procDefFile::read(QByteArrayView content, int *strayLines,
                                                    const std::function<void(int, int)> &progress)
{
    std::vector<section> sections;
    int stray = 0;
    const QList<QByteArray> lines = utf8Text::withoutBom(content).toByteArray().split('\n');
    const int lineCount = int(lines.size());
    for (int i = 0; i < lineCount; ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2) {
            section s;
            s.nameOk = utf8Text::decode(line.mid(1, line.size() - 2), s.name);
            s.line = i + 1;
            sections.push_back(std::move(s));
        } else if (sections.empty()) {
            stray += !line.isEmpty();
        } else {
            // Each body stays with its own header, whatever the layout.
            section &current = sections.back();
            if (current.body.isEmpty())
                current.firstLine = line;
            current.body += line;
            current.body += '\0';
        }
        if (progress && i % 256 == 0)
            progress(i, lineCount);
    }
    if (strayLines)
        *strayLines = stray;
    return sections;
}

QByteArray procDefFile::loadable(const section &s)
{
    QByteArray block = s.body;
    block += '\0';
    return block;
}

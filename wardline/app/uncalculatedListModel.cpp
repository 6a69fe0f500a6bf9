#include "uncalculatedListModel.h"

// Both lists are in position order: walk them together, removing and
// inserting runs of rows, and announce the rows whose cause changed.
void uncalculatedListModel::setEntries(const QList<entry> &entries)
{
    if (m_entries.isEmpty() && entries.isEmpty())
        return;
    if (m_entries.isEmpty()) {
        beginInsertRows(QModelIndex(), 0, int(entries.size()) - 1);
        m_entries = entries;
        endInsertRows();
        return;
    }
    // Each run moves the rows behind it: past a few dozen runs one reset costs less.
    if (structuralRuns(entries) > maxRuns) {
        beginResetModel();
        m_entries = entries;
        endResetModel();
        return;
    }
    int row = 0;
    qsizetype next = 0;
    int changedFirst = -1;
    const auto flushChanged = [&](int end) {
        if (changedFirst >= 0)
            emit dataChanged(index(changedFirst, 0), index(end - 1, ColumnCount - 1), {Qt::DisplayRole});
        changedFirst = -1;
    };
    while (row < m_entries.size() || next < entries.size()) {
        if (next == entries.size()) {
            flushChanged(row);
            beginRemoveRows(QModelIndex(), row, int(m_entries.size()) - 1);
            m_entries.remove(row, m_entries.size() - row);
            endRemoveRows();
            break;
        }
        if (row == m_entries.size()) {
            flushChanged(row);
            beginInsertRows(QModelIndex(), row, row + int(entries.size() - next) - 1);
            m_entries.append(entries.mid(next));
            endInsertRows();
            break;
        }
        const int shown = m_entries.at(row).position;
        const int wanted = entries.at(next).position;
        if (shown == wanted) {
            entry &e = m_entries[row];
            const entry &n = entries.at(next);
            if (e.error != n.error || e.name != n.name) {
                e = n;
                if (changedFirst < 0)
                    changedFirst = row;
            } else {
                flushChanged(row);
            }
            ++row;
            ++next;
        } else if (shown < wanted) {
            flushChanged(row);
            int end = row;
            while (end < m_entries.size() && m_entries.at(end).position < wanted)
                ++end;
            beginRemoveRows(QModelIndex(), row, end - 1);
            m_entries.remove(row, end - row);
            endRemoveRows();
        } else {
            flushChanged(row);
            qsizetype end = next;
            while (end < entries.size() && entries.at(end).position < shown)
                ++end;
            beginInsertRows(QModelIndex(), row, row + int(end - next) - 1);
            m_entries.insert(row, end - next, entry());
            for (qsizetype i = next; i < end; ++i)
                m_entries[row + int(i - next)] = entries.at(i);
            endInsertRows();
            row += int(end - next);
            next = end;
        }
    }
    flushChanged(row);
}

// How many runs of rows the merge of setEntries() would remove or insert.
int uncalculatedListModel::structuralRuns(const QList<entry> &entries) const
{
    int runs = 0;
    qsizetype row = 0;
    qsizetype next = 0;
    int last = 0; // 1 removing, 2 inserting
    while (row < m_entries.size() && next < entries.size()) {
        const int shown = m_entries.at(row).position;
        const int wanted = entries.at(next).position;
        const int step = shown == wanted ? 0 : shown < wanted ? 1 : 2;
        if (step != 0 && step != last)
            ++runs;
        last = step;
        if (step != 2)
            ++row;
        if (step != 1)
            ++next;
    }
    return runs + (row < m_entries.size() ? 1 : 0) + (next < entries.size() ? 1 : 0);
}

QString uncalculatedListModel::causeText(int error)
{
    switch (error) {
    case 1: return QStringLiteral("Invalid process rule");
    case 2: return QStringLiteral("Input invalid or uncalculated");
    case 3: return QStringLiteral("Mask invalid or uncalculated");
    case 4: return QStringLiteral("Internal error during calculation");
    case -1: return QStringLiteral("Undefined");
    default: return QStringLiteral("Other error");
    }
}

int uncalculatedListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

int uncalculatedListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant uncalculatedListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_entries.size())
        return QVariant();
    const entry &e = m_entries.at(index.row());
    return index.column() == Name ? QVariant(e.name) : QVariant(causeText(e.error));
}

QVariant uncalculatedListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    return section == Name ? QStringLiteral("Process Name") : QStringLiteral("Error Cause");
}

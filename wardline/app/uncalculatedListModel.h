#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>

// The diagnostics window's list of processes that the last cycle did not
// calculate, each with the cause from the error array. A new list is merged
// into the shown one, so that rows that stay keep their place and selection.
class uncalculatedListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Name, Cause, ColumnCount };

    struct entry
    {
        int position = 0;
        QString name;
        int error = -1;
    };

    using QAbstractTableModel::QAbstractTableModel;

    // `entries` in ascending process position.
    void setEntries(const QList<entry> &entries);
    const entry &at(int row) const { return m_entries.at(row); }

    static QString causeText(int error);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    static constexpr int maxRuns = 64;

    int structuralRuns(const QList<entry> &entries) const;

    QList<entry> m_entries;
};

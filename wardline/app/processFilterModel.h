#pragma once

#include <QRegularExpression>
#include <QSet>
#include <QSortFilterProxyModel>

class processListModel;

// What the diagnostics window's process list shows: the processes whose
// names contain a match of the name filter (a wildcard), or, while an input
// filter is in force, exactly the processes of the names given.
class processFilterModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit processFilterModel(processListModel *source, QObject *parent = nullptr);

    // Case-sensitive; an empty filter shows every process, one that is not a
    // valid pattern none.
    void setNameFilter(const QString &wildcard);
    bool nameMatches(const QString &name) const;
    // Shows exactly the processes of these names, until clearInputNames().
    void setInputNames(const QSet<QString> &names);
    void clearInputNames();
    bool inputFilterActive() const { return m_inputActive; }

    static QRegularExpression wildcardPattern(const QString &wildcard);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    processListModel *m_source;
    QString m_nameFilter;
    QRegularExpression m_pattern;
    QSet<QString> m_inputNames;
    bool m_inputActive = false;
};

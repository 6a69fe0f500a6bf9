#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QHash>
#include <QList>
#include <QString>

#include <vector>

// The diagnostics window's process list: one row per alarm process with its
// number, name, rule type, state, state name and mask, coloured by state.
// A refresh sets every row's state and announces only the rows that changed.
class processListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Number, Name, Rule, State, StateName, Mask, ColumnCount };
    // Colours of a selected row, for the delegate (QColor, unset for the normal ones).
    static constexpr int SelectionBackgroundRole = Qt::UserRole + 1;
    static constexpr int SelectedTextRole = Qt::UserRole + 2;

    struct process
    {
        int position = 0;
        QString name;
        int type = -1; // ProcessType()
        int state = -1;
        QString mask;
    };

    // Background, text, selection background and selected text of a state;
    // invalid colours mean the view's own.
    struct colours
    {
        QColor background;
        QColor text;
        QColor selection;
        QColor selectedText;
    };

    using QAbstractTableModel::QAbstractTableModel;

    void setProcesses(QList<process> processes);
    const process &at(int row) const { return m_rows[size_t(row)].p; }
    // The row of the first process of that name, -1 when there is none.
    int rowOf(const QString &name) const { return m_byName.value(name, -1); }
    // The state name the row shows ("OFF" until a refresh has rewritten it).
    QString stateNameAt(int row) const;

    // A refresh: setState() for rows, then endRefresh() announces the changes.
    void setState(int row, int state);
    void endRefresh();

    static QString ruleText(int type);
    static QString stateName(int state, bool rewritten);
    static colours stateColours(int state);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct row
    {
        process p;
        bool rewritten = false; // by a refresh: state 0 then reads "Off"
    };

    std::vector<row> m_rows;
    QHash<QString, int> m_byName;
    std::vector<int> m_changed; // rows changed by the refresh under way, ascending
};

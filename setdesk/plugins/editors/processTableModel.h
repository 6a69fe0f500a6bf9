#pragma once

#include "procDefDocument.h"

#include <QAbstractTableModel>
#include <QHash>

// The processes of one proc_def.cfg as table rows, in file order. Every
// change to the document goes through here, so that views follow it; the
// problems the last check found mark their processes' rows.
class processTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum column { nameColumn, typeColumn, inputsColumn, maskColumn, latchingColumn, forceTimeoutColumn, columnCount_ };

    explicit processTableModel(QObject *parent = nullptr);

    const procDefDocument &document() const { return m_document; }
    bool load(QByteArrayView content, QString *error = nullptr);
    void clear();
    // Sets keys of one process in order (an empty value removes the key).
    bool setValues(int row, const QList<procDefDocument::keyValue> &values, QString *error = nullptr);
    int add(const QString &name, const QList<procDefDocument::keyValue> &keys, QString *error = nullptr);
    void remove(int row);
    bool rename(int row, const QString &name, QString *error = nullptr);

    void setProblems(const QList<procDefCheck::problem> &problems);
    // What the last check found wrong with a process, one problem a line.
    QString problems(int row) const { return m_problems.value(row); }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void allChanged();

    procDefDocument m_document;
    QHash<int, QString> m_problems;
};

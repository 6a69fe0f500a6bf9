#pragma once

#include "pair.h"

#include <QList>
#include <QString>

class QWidget;

// A handle to the one list of locks this editor holds. The first handle made
// while no list exists loads it from the lock list file of its system; later
// handles share that list, whatever system they name. A handle that changed
// the list writes it back when it goes; when the last handle goes, the list
// is discarded. Handles are meant to be short-lived locals around each use.
class lock_list
{
public:
    explicit lock_list(const QString &system);
    ~lock_list();
    lock_list(const lock_list &) = delete;
    lock_list &operator=(const lock_list &) = delete;

    // clientDir/lockLists/<system>/lock_list.txt.
    static QString filePath(const QString &system);
    // Handles alive right now; 0 when no list is loaded.
    static int handleCount();

    // Appends (key, path) unless either is empty, a character of either would
    // break its line in the file, or isLockedBy(key, path) holds already.
    // Marks the list changed in every case. False when refused.
    bool add(const QString &key, const QString &path);
    // Removes every pair with this key and path.
    void remove(const QString &key, const QString &path);
    // Removes every pair with this path, whatever its key.
    void removePath(const QString &path);

    // True when some pair names exactly this path.
    bool isLocked(const QString &path) const;
    // True when `key` holds this path or a folder above it.
    bool isLockedBy(const QString &key, const QString &path) const;

    // The pairs in list order; a copy, so the list may change while it is walked.
    QList<pair> pairs() const;
    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }

    // Rich text listing every pair, for the user.
    QString locksReport() const;
    // Shows locksReport() in a modal information box when any lock is held.
    // True when the box was shown.
    bool showLocksReport(QWidget *parent = nullptr) const;

private:
    bool m_changed = false; // this handle changed the list: written when it goes
};

#pragma once

#include "downloadEntry.h"

#include <QList>
#include <QString>
#include <QStringList>

// A handle to the one list of files this editor has placed in its local
// copies. The handle that finds no list loads it from the download list file
// of its system; later handles share it. A handle that changed the list
// writes it back to the file it came from when it goes; when the last handle
// goes, the list is discarded. Adds through any handle are kept, also while
// another handle (a download reply) holds the list.
class download_list
{
public:
    explicit download_list(const QString &system);
    ~download_list();
    download_list(const download_list &) = delete;
    download_list &operator=(const download_list &) = delete;

    // clientDir/downloadLists/<system>/download_list.txt.
    static QString filePath(const QString &system);
    // Handles alive right now; 0 when no list is loaded.
    static int handleCount();

    // True for the handle that loaded the list.
    bool isLoadingHandle() const { return m_loading; }

    // Marks the list changed; then appends (path, key) unless it is listed
    // already. Refused (false, nothing stored) when either is empty or holds
    // a character that would break its line in the file.
    bool add(const QString &path, const QString &key);
    // Removes every entry with this path and key.
    void remove(const QString &path, const QString &key);
    // The paths of the entries of this key, in list order.
    QStringList pathsFor(const QString &key) const;

    // The entries in list order; a copy, so the list may change while it is walked.
    QList<downloadEntry> entries() const;
    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }

private:
    bool m_loading = false;
    bool m_changed = false; // this handle changed the list: written when it goes
};

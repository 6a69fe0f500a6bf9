#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QUrl>

class QAction;
class QComboBox;
class QMenu;
class QPrinter;
class QTextBrowser;

// The editor's help viewer: a text browser over the help folder with a path
// box, a page history and bookmarks. History and bookmarks are kept across
// runs in the files ".history" and ".bookmarks" of the storage folder.
class HelpWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Page names are resolved in `helpFolder`; `home` is opened at once when
    // given.
    HelpWindow(const QString &home, const QString &helpFolder, QWidget *parent = nullptr,
               const QString &name = QString());
    // Writes the history and the bookmarks back.
    ~HelpWindow() override;

    // Shows the page `name` of the help folder, or "not_found.html" when the
    // folder has no such file.
    void showPage(const QString &name);

    // The folder of ".history" and ".bookmarks"; the current directory unless
    // set. Read at construction.
    static void setStorageFolder(const QString &folder);
    static QString storageFolder();
    // At most this many history entries are read back.
    static constexpr int maxHistory = 20;

    QString helpFolder() const { return m_helpFolder; }
    // The name of the page shown: as given for pages of the help folder, the
    // local path for other files.
    QString currentPage() const;
    QStringList history() const { return m_history; }
    QStringList bookmarks() const { return m_bookmarks; }

    QTextBrowser *browser() const { return m_browser; }
    QComboBox *pathBox() const { return m_pathBox; }
    QMenu *historyMenu() const { return m_historyMenu; }
    QMenu *bookmarksMenu() const { return m_bookmarksMenu; }
    QAction *backwardAction() const { return m_backward; }
    QAction *forwardAction() const { return m_forward; }
    QAction *printAction() const { return m_print; }

    // Lays the page out on `printer`; false when printing is not built in.
    bool printTo(QPrinter *printer) const;

    // The page name of a browser source: relative to the help folder for its
    // own files, the local path for other files, else the address.
    QString pageName(const QUrl &source) const;
    // The browser source of a page name.
    QUrl pageUrl(const QString &page) const;

public slots:
    void newWindow();
    void openFile();
    void print();
    void addBookmark();

private slots:
    void sourceChanged(const QUrl &source);
    void pathSelected(int index);
    void linkHighlighted(const QUrl &link);
    void historyChosen(QAction *action);
    void bookmarkChosen(QAction *action);

private:
    void createMenusAndToolBar();
    void openPage(const QString &page);
    void addHistoryEntry(const QString &page);
    void addBookmarkEntry(const QString &text, const QString &page);

    QString m_helpFolder;
    QString m_absoluteHelpFolder;
    QString m_historyFile;
    QString m_bookmarksFile;
    QStringList m_history;
    QStringList m_bookmarks;

    QTextBrowser *m_browser = nullptr;
    QComboBox *m_pathBox = nullptr;
    QMenu *m_historyMenu = nullptr;
    QMenu *m_bookmarksMenu = nullptr;
    QAction *m_backward = nullptr;
    QAction *m_forward = nullptr;
    QAction *m_home = nullptr;
    QAction *m_print = nullptr;
};

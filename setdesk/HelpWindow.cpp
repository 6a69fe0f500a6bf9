#include "HelpWindow.h"

#include "setdesk_log.h"

#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QSaveFile>
#include <QStatusBar>
#include <QStyle>
#include <QTextBrowser>
#include <QToolBar>

#ifdef QT_PRINTSUPPORT_LIB
#include <QPrintDialog>
#include <QPrinter>
#endif

namespace {

const QString captionPrefix = QStringLiteral("Helpviewer - TAVEX Configuration Editor - ");
const QString notFoundPage = QStringLiteral("not_found.html");

// Both lists are small; anything bigger is not a file this viewer wrote.
constexpr qint64 maxListFileSize = 1 << 20;
constexpr qsizetype maxBookmarks = 1000;
constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_0;

QString &storageFolderSetting()
{
    static QString folder;
    return folder;
}

// Reads a list file (one string list in data-stream form) and keeps its last
// `keepLast` entries. A damaged file gives the entries before the damage.
QStringList readPageList(const QString &fileName, qsizetype keepLast)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.read(maxListFileSize + 1);
    if (data.size() > maxListFileSize) {
        qCDebug(lcSetdesk).noquote() << QStringLiteral("help viewer: %1 is too large, ignored").arg(fileName);
        return {};
    }
    QDataStream in(data);
    in.setVersion(streamVersion);
    // Read entry by entry: the stored count is not trusted for an allocation.
    quint32 count = 0;
    in >> count;
    QStringList pages;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QString page;
        in >> page;
        if (in.status() != QDataStream::Ok) {
            qCDebug(lcSetdesk).noquote() << QStringLiteral("help viewer: %1 is damaged after %2 entries").arg(fileName).arg(i);
            break;
        }
        pages.append(page);
        if (pages.size() > keepLast)
            pages.removeFirst();
    }
    return pages;
}

void writePageList(const QString &fileName, const QStringList &pages)
{
    // Written aside and renamed, so that a failed write keeps the old list.
    QSaveFile file(fileName);
    if (file.open(QIODevice::WriteOnly)) {
        QDataStream out(&file);
        out.setVersion(streamVersion);
        out << pages;
        if (out.status() == QDataStream::Ok && file.commit())
            return;
    }
    qCDebug(lcSetdesk).noquote() << QStringLiteral("help viewer: cannot write %1: %2").arg(fileName, file.errorString());
}

// Menu texts show "&" as it is rather than as a mnemonic.
QString menuText(const QString &text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QIcon navigationIcon(const QStyle *style, const char *themeName, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(QLatin1String(themeName), style->standardIcon(fallback));
}

// The styles offer no house, only a home folder; without an icon theme the
// Home button gets a small painted house to match the arrows beside it.
QIcon homeIcon(const QPalette &palette)
{
    if (QIcon::hasThemeIcon(QStringLiteral("go-home")))
        return QIcon::fromTheme(QStringLiteral("go-home"));
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette.color(QPalette::WindowText), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(palette.color(QPalette::Base));
    painter.drawPolygon(QPolygonF({{6, 15}, {16, 5}, {26, 15}, {26, 28}, {6, 28}}));
    painter.setBrush(palette.color(QPalette::Highlight));
    painter.drawRect(QRectF(13, 19, 6, 9));
    return QIcon(pixmap);
}

} // namespace

HelpWindow::HelpWindow(const QString &home, const QString &helpFolder, QWidget *parent, const QString &name)
    : QMainWindow(parent)
    , m_helpFolder(helpFolder)
    , m_absoluteHelpFolder(QDir(helpFolder).absolutePath())
{
    setObjectName(name);
    const QString folder = storageFolder();
    m_historyFile = folder + QStringLiteral("/.history");
    m_bookmarksFile = folder + QStringLiteral("/.bookmarks");

    m_browser = new QTextBrowser(this);
    m_browser->setSearchPaths({m_absoluteHelpFolder});
    m_browser->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // Web addresses in help pages go to the desktop's browser.
    m_browser->setOpenExternalLinks(true);
    setCentralWidget(m_browser);
    connect(m_browser, &QTextBrowser::sourceChanged, this, &HelpWindow::sourceChanged);
    connect(m_browser, &QTextBrowser::highlighted, this, &HelpWindow::linkHighlighted);

    createMenusAndToolBar();
    const QStringList history = readPageList(m_historyFile, maxHistory);
    for (const QString &page : history)
        addHistoryEntry(page);
    const QStringList bookmarks = readPageList(m_bookmarksFile, maxBookmarks);
    for (const QString &page : bookmarks)
        addBookmarkEntry(page, page);

    if (!home.isEmpty())
        m_browser->setSource(pageUrl(home));
    resize(640, 700);
}

HelpWindow::~HelpWindow()
{
    writePageList(m_historyFile, m_history);
    writePageList(m_bookmarksFile, m_bookmarks);
}

void HelpWindow::setStorageFolder(const QString &folder)
{
    storageFolderSetting() = folder;
}

QString HelpWindow::storageFolder()
{
    const QString &folder = storageFolderSetting();
    return folder.isEmpty() ? QDir::currentPath() : folder;
}

void HelpWindow::createMenusAndToolBar()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&New Window"), this, &HelpWindow::newWindow);
    file->addAction(QStringLiteral("&Open File"), QKeySequence::Open, this, &HelpWindow::openFile);
    m_print = file->addAction(QStringLiteral("&Print"), QKeySequence::Print, this, &HelpWindow::print);
#ifndef QT_PRINTSUPPORT_LIB
    m_print->setEnabled(false);
#endif
    file->addSeparator();
    file->addAction(QStringLiteral("&Close"), this, &QWidget::close);
    file->addAction(QStringLiteral("E&xit"), qApp, &QApplication::closeAllWindows);

    QMenu *go = menuBar()->addMenu(QStringLiteral("&Go"));
    m_backward = go->addAction(navigationIcon(style(), "go-previous", QStyle::SP_ArrowBack), QStringLiteral("&Backward"),
                               QKeySequence::Back, m_browser, &QTextBrowser::backward);
    m_forward = go->addAction(navigationIcon(style(), "go-next", QStyle::SP_ArrowForward), QStringLiteral("&Forward"),
                              QKeySequence::Forward, m_browser, &QTextBrowser::forward);
    m_home = go->addAction(homeIcon(palette()), QStringLiteral("&Home"),
                           m_browser, &QTextBrowser::home);
    m_backward->setEnabled(false);
    m_forward->setEnabled(false);
    connect(m_browser, &QTextBrowser::backwardAvailable, m_backward, &QAction::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, m_forward, &QAction::setEnabled);

    m_historyMenu = menuBar()->addMenu(QStringLiteral("History"));
    connect(m_historyMenu, &QMenu::triggered, this, &HelpWindow::historyChosen);

    m_bookmarksMenu = menuBar()->addMenu(QStringLiteral("Bookmarks"));
    m_bookmarksMenu->addAction(QStringLiteral("Add Bookmark"), this, &HelpWindow::addBookmark);
    m_bookmarksMenu->addSeparator();
    connect(m_bookmarksMenu, &QMenu::triggered, this, &HelpWindow::bookmarkChosen);

    QToolBar *toolBar = addToolBar(QStringLiteral("Toolbar"));
    toolBar->setObjectName(QStringLiteral("Toolbar"));
    toolBar->addAction(m_backward);
    toolBar->addAction(m_forward);
    toolBar->addAction(m_home);
    toolBar->addSeparator();
    m_pathBox = new QComboBox(toolBar);
    m_pathBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_pathBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_pathBox->setMinimumContentsLength(20);
    toolBar->addWidget(m_pathBox);
    connect(m_pathBox, &QComboBox::activated, this, &HelpWindow::pathSelected);

    statusBar();
}

void HelpWindow::showPage(const QString &name)
{
    if (QFileInfo(m_absoluteHelpFolder + QLatin1Char('/') + name).isFile())
        m_browser->setSource(pageUrl(name));
    else
        m_browser->setSource(pageUrl(notFoundPage));
}

QString HelpWindow::currentPage() const
{
    return pageName(m_browser->source());
}

QString HelpWindow::pageName(const QUrl &source) const
{
    if (source.isLocalFile()) {
        const QString path = QDir::cleanPath(source.toLocalFile());
        QString folder = m_absoluteHelpFolder;
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        if (path.startsWith(folder)) {
            QString page = path.mid(folder.size());
            if (source.hasFragment())
                page += QLatin1Char('#') + source.fragment(QUrl::FullyEncoded);
            return page;
        }
    }
    return source.toString(QUrl::PreferLocalFile);
}

QUrl HelpWindow::pageUrl(const QString &page) const
{
    if (QDir::isAbsolutePath(page))
        return QUrl::fromLocalFile(page);
    const QUrl url(page);
    if (!url.isRelative())
        return url;
    // Pages of the help folder are opened by their full path, so that a page
    // from elsewhere never becomes the base the next name is resolved in.
    QUrl local = QUrl::fromLocalFile(m_absoluteHelpFolder + QLatin1Char('/') + url.path());
    if (url.hasFragment())
        local.setFragment(url.fragment(QUrl::FullyEncoded), QUrl::StrictMode);
    return local;
}

void HelpWindow::openPage(const QString &page)
{
    const QUrl url = pageUrl(page);
    // A page removed since it was visited leads to the not-found page.
    if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile()))
        m_browser->setSource(pageUrl(notFoundPage));
    else
        m_browser->setSource(url);
}

bool HelpWindow::printTo(QPrinter *printer) const
{
#ifdef QT_PRINTSUPPORT_LIB
    printer->setDocName(windowTitle());
    m_browser->document()->print(printer);
    return true;
#else
    Q_UNUSED(printer);
    return false;
#endif
}

void HelpWindow::newWindow()
{
    auto *window = new HelpWindow(currentPage(), m_helpFolder, parentWidget());
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->resize(size());
    window->show();
}

void HelpWindow::openFile()
{
    QFileDialog dialog(this, QStringLiteral("Open File"), m_helpFolder,
                       QStringLiteral("HTML files (*.html *.htm);;All files (*)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString file = dialog.selectedFiles().value(0);
    if (!file.isEmpty())
        m_browser->setSource(QUrl::fromLocalFile(file));
}

void HelpWindow::print()
{
#ifdef QT_PRINTSUPPORT_LIB
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() == QDialog::Accepted)
        printTo(&printer);
#endif
}

void HelpWindow::addBookmark()
{
    const QString page = currentPage();
    if (!page.isEmpty())
        addBookmarkEntry(windowTitle(), page);
}

void HelpWindow::sourceChanged(const QUrl &source)
{
    const QString page = pageName(source);
    const QString title = m_browser->documentTitle();
    setWindowTitle(captionPrefix + (title.isEmpty() ? page : title));
    if (page.isEmpty())
        return;
    const int index = m_pathBox->findText(page);
    if (index >= 0) {
        m_pathBox->setCurrentIndex(index);
    } else {
        m_pathBox->insertItem(0, page);
        m_pathBox->setCurrentIndex(0);
        addHistoryEntry(page);
    }
}

void HelpWindow::pathSelected(int index)
{
    const QString page = m_pathBox->itemText(index);
    if (!page.isEmpty())
        openPage(page);
}

void HelpWindow::linkHighlighted(const QUrl &link)
{
    if (link.isEmpty())
        statusBar()->clearMessage();
    else
        statusBar()->showMessage(pageName(link));
}

void HelpWindow::historyChosen(QAction *action)
{
    openPage(action->data().toString());
}

void HelpWindow::bookmarkChosen(QAction *action)
{
    // "Add Bookmark" is in the same menu but carries no page.
    if (action->data().isValid())
        openPage(action->data().toString());
}

void HelpWindow::addHistoryEntry(const QString &page)
{
    m_history.append(page);
    m_historyMenu->addAction(menuText(page))->setData(page);
}

void HelpWindow::addBookmarkEntry(const QString &text, const QString &page)
{
    m_bookmarks.append(page);
    m_bookmarksMenu->addAction(menuText(text))->setData(page);
}

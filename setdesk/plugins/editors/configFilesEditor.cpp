#include "configFilesEditor.h"

#include "codeEditor.h"
#include "configHighlighter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSplitter>
#include <QStringDecoder>
#include <QTextCursor>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <utility>

namespace {

const QString configFolder = QStringLiteral("config");
const QString backupFolder = QStringLiteral("backup");
const QString lockFilePath = QStringLiteral("server_lock_list.txt");
const QString indexSuffix = QStringLiteral(".backup_index");

constexpr int pathRole = Qt::UserRole;
constexpr int folderRole = Qt::UserRole + 1;
enum column { nameColumn, lockColumn, sizeColumn, dateColumn };

enum class readResult { Text, Binary, TooLarge, Unreadable };

// A local file as text for the editor: only UTF-8 without NUL bytes, and
// never more than the editor takes. A byte order mark stays in the text so
// that it is stored again.
readResult readText(const QString &file, QString *text, bool *crlf)
{
    QFile in(file);
    if (file.isEmpty() || !in.open(QIODevice::ReadOnly))
        return readResult::Unreadable;
    if (in.size() > configFilesEditor::maxEditableSize)
        return readResult::TooLarge;
    const QByteArray bytes = in.read(configFilesEditor::maxEditableSize + 1);
    if (bytes.size() > configFilesEditor::maxEditableSize)
        return readResult::TooLarge;
    if (bytes.contains('\0'))
        return readResult::Binary;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString decoded = decoder(bytes);
    if (decoder.hasError())
        return readResult::Binary;
    *text = decoded;
    *crlf = bytes.contains("\r\n");
    return readResult::Text;
}

QByteArray readCapped(const QString &file)
{
    QFile in(file);
    return file.isEmpty() || !in.open(QIODevice::ReadOnly) ? QByteArray() : in.read(configFilesEditor::maxEditableSize);
}

// The owner key a lock refusal names: "The Path 'p' is already checked out to 'user,address'".
QString refusingOwner(const QString &message)
{
    static const QRegularExpression owner(QStringLiteral("checked out to '(.*)'"));
    return owner.match(message).captured(1).trimmed();
}

QString msgHeldBy(const QString &path, const QString &owner)
{
    return QStringLiteral("%1 is checked out to %2: opened read-only").arg(path, serverLockFile::describe(owner));
}

QString msgNoLevel(const QString &path)
{
    return QStringLiteral("%1 opened read-only: your user level does not allow editing").arg(path);
}

QString msgUnsaved(const QString &path)
{
    return QStringLiteral("%1 has unsaved changes: save, check in or release it before opening another file").arg(path);
}

QString msgNotShown(const QString &path, readResult result)
{
    switch (result) {
    case readResult::Binary:
        return QStringLiteral("%1: binary file, not shown").arg(path);
    case readResult::TooLarge:
        return QStringLiteral("%1 is too large to show or edit (the limit is %2)")
            .arg(path, QLocale().formattedDataSize(configFilesEditor::maxEditableSize));
    default:
        return QStringLiteral("%1: the local copy cannot be read").arg(path);
    }
}

QString placeholderFor(readResult result)
{
    switch (result) {
    case readResult::Binary:
        return QStringLiteral("binary file, not shown");
    case readResult::TooLarge:
        return QStringLiteral("file too large, not shown");
    default:
        return QStringLiteral("the local copy cannot be read");
    }
}

// Listing names with "." or ".." components would lead out of the folder.
bool plainName(const QString &name)
{
    const QStringList parts = name.split(QLatin1Char('/'));
    return !name.isEmpty() && !parts.contains(QStringLiteral("..")) && !parts.contains(QStringLiteral("."))
           && !parts.contains(QString());
}

} // namespace

configFilesEditor::configFilesEditor(const QString &workingFolder, bool mayEdit, QWidget *parent)
    : config_plugin_base(parent)
    , m_workingFolder(workingFolder)
    , m_mayEdit(mayEdit)
{
    setObjectName(QStringLiteral("configFilesEditor"));

    auto *files = new QWidget(this);
    m_tree = new QTreeWidget(files);
    m_tree->setObjectName(QStringLiteral("fileTree"));
    m_tree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Locked by"), QStringLiteral("Size"),
                             QStringLiteral("Date")});
    // Names are what the user looks for: shown whole, scrolled sideways
    // when the tree is deep.
    m_tree->header()->setSectionResizeMode(nameColumn, QHeaderView::ResizeToContents);
    m_tree->header()->setSectionResizeMode(lockColumn, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(true);
    auto *refreshButton = new QPushButton(QStringLiteral("Re&fresh"), files);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setToolTip(QStringLiteral("List the files and their locks again"));
    auto *filesLayout = new QVBoxLayout(files);
    filesLayout->setContentsMargins(0, 0, 0, 0);
    filesLayout->addWidget(m_tree, 1);
    filesLayout->addWidget(refreshButton, 0, Qt::AlignRight);

    auto *editing = new QWidget(this);
    m_pathLabel = new QLabel(QStringLiteral("No file open"), editing);
    m_pathLabel->setObjectName(QStringLiteral("filePath"));
    m_pathLabel->setTextFormat(Qt::PlainText);
    m_stateLabel = new QLabel(editing);
    m_stateLabel->setObjectName(QStringLiteral("fileState"));
    m_stateLabel->setTextFormat(Qt::PlainText);
    const auto button = [editing](const QString &text, const char *name, const QString &tip) {
        auto *b = new QPushButton(text, editing);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        return b;
    };
    m_view = button(QStringLiteral("Open &read-only"), "viewButton", QStringLiteral("Show the selected file without locking it"));
    m_checkout = button(QStringLiteral("&Check out"), "checkoutButton", QStringLiteral("Lock the selected file and open it for editing"));
    m_save = button(QStringLiteral("&Save"), "saveButton", QStringLiteral("Store the changes on the server and keep the lock"));
    m_checkin = button(QStringLiteral("Check &in"), "checkinButton", QStringLiteral("Store any changes and give the lock back"));
    m_release = button(QStringLiteral("Release &without saving"), "releaseButton",
                       QStringLiteral("Give the lock back, drop the changes and show the server's copy"));
    auto *buttons = new QHBoxLayout;
    for (QPushButton *b : {m_view, m_checkout, m_save, m_checkin, m_release})
        buttons->addWidget(b);
    buttons->addStretch();

    m_text = new codeEditor(editing);
    m_text->setObjectName(QStringLiteral("textEditor"));
    m_text->setReadOnly(true);
    m_highlighter = new configHighlighter(m_text->document());

    auto *backupsLabel = new QLabel(QStringLiteral("Backups kept by the server, newest first:"), editing);
    m_backups = new QListWidget(editing);
    m_backups->setObjectName(QStringLiteral("backupList"));
    m_backups->setMaximumHeight(120);
    m_restore = button(QStringLiteral("Res&tore"), "restoreButton",
                       QStringLiteral("Load the chosen backup into the checked-out file as an unsaved change"));
    auto *restoreRow = new QHBoxLayout;
    restoreRow->addWidget(m_backups, 1);
    restoreRow->addWidget(m_restore, 0, Qt::AlignTop);

    auto *editingLayout = new QVBoxLayout(editing);
    editingLayout->setContentsMargins(0, 0, 0, 0);
    editingLayout->addWidget(m_pathLabel);
    editingLayout->addWidget(m_stateLabel);
    editingLayout->addLayout(buttons);
    editingLayout->addWidget(m_text, 1);
    editingLayout->addWidget(backupsLabel);
    editingLayout->addLayout(restoreRow);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(files);
    splitter->addWidget(editing);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    splitter->setSizes({460, 540});
    m_message = new messageBar(this);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_message);

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(0);
    connect(&m_refreshTimer, &QTimer::timeout, this, &configFilesEditor::refresh);
    connect(refreshButton, &QPushButton::clicked, this, &configFilesEditor::refresh);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, &configFilesEditor::openItem);
    connect(m_tree, &QTreeWidget::currentItemChanged, this, &configFilesEditor::updateButtons);
    connect(m_backups, &QListWidget::currentItemChanged, this, &configFilesEditor::updateButtons);
    connect(m_view, &QPushButton::clicked, this, [this] { open(targetPath(), false); });
    connect(m_checkout, &QPushButton::clicked, this, [this] { open(targetPath(), true); });
    connect(m_save, &QPushButton::clicked, this, &configFilesEditor::save);
    connect(m_checkin, &QPushButton::clicked, this, &configFilesEditor::checkIn);
    connect(m_release, &QPushButton::clicked, this, &configFilesEditor::release);
    connect(m_restore, &QPushButton::clicked, this, &configFilesEditor::restore);
    connect(m_text->document(), &QTextDocument::modificationChanged, this, [this](bool changed) {
        emit command(changed ? QStringLiteral("dirty") : QStringLiteral("clean"), m_path);
        updateButtons();
    });
    updateButtons();
}

bool configFilesEditor::isModified()
{
    return m_text->document()->isModified();
}

void configFilesEditor::setActive(bool active)
{
    if (active)
        refreshSoon();
}

QString configFilesEditor::about()
{
    return QStringLiteral("<p>Configuration files: check out, edit and store the files under config, "
                          "and bring back the backups the server kept of them.</p>");
}

// Several triggers in one pass of the event loop (a reply and the notice
// after it) make one refresh.
void configFilesEditor::refreshSoon()
{
    m_refreshTimer.start();
}

void configFilesEditor::refresh()
{
    m_refreshTimer.stop();
    emit command(QStringLiteral("locks"), QString());
    emit command(QStringLiteral("dir"), configFolder);
    emit command(QStringLiteral("dir"), backupFolder);
    emit command(QStringLiteral("downloadFile"), lockFilePath);
}

void configFilesEditor::commsEvent(response &result)
{
    const QString &operation = result.operation;
    if (operation == u"dir")
        listed(result);
    else if (operation == u"locks")
        locksHeld(result.message);
    else if (operation == u"download")
        downloaded(result);
    else if (operation == u"upload")
        uploaded(result);
    else if (operation == u"lock")
        lockAnswered(result);
    else if (operation == u"unlock")
        unlocked(result);
    else if (operation == u"updated" || operation == u"deleted")
        noticed(result);
}

// ---- opening

void configFilesEditor::open(const QString &path, bool checkOut, const QString &note, messageBar::Kind kind)
{
    if (path.isEmpty())
        return;
    if (localFile(path).isEmpty()) {
        m_message->say(QStringLiteral("%1 is not a path of this system").arg(path), messageBar::Error);
        return;
    }
    // The text being edited is never replaced by another file; the same file
    // may be checked out again and keeps it.
    if (isModified() && path != m_path) {
        m_message->say(msgUnsaved(m_path), messageBar::Warning);
        return;
    }
    m_opening = path;
    m_openingLocked = false;
    m_openNote = note;
    m_openNoteKind = kind;
    if (checkOut && !m_mayEdit) {
        checkOut = false;
        m_openNote = msgNoLevel(path);
        m_openNoteKind = messageBar::Info;
    }
    m_message->say(QStringLiteral("Opening %1 ...").arg(path));
    emit command(checkOut ? QStringLiteral("checkoutFile") : QStringLiteral("downloadFile"), path);
}

void configFilesEditor::openItem(QTreeWidgetItem *item)
{
    if (!item || item->data(nameColumn, folderRole).toBool())
        return;
    const QString path = item->data(nameColumn, pathRole).toString();
    if (!m_mayEdit)
        open(path, false, msgNoLevel(path));
    else if (const QString owner = heldElsewhere(path); !owner.isEmpty())
        open(path, false, msgHeldBy(path, owner), messageBar::Warning);
    else
        open(path, true);
}

void configFilesEditor::lockAnswered(const response &result)
{
    refreshSoon();
    if (result.path != m_opening)
        return;
    if (result.status == response::Done) {
        m_openingLocked = true;
        return;
    }
    const QString owner = refusingOwner(result.message);
    m_refusedBy = owner;
    m_openNote = owner.isEmpty()
                     ? QStringLiteral("%1 could not be checked out (%2): opened read-only").arg(result.path, result.message.trimmed())
                     : msgHeldBy(result.path, owner);
    m_openNoteKind = messageBar::Warning;
}

void configFilesEditor::downloaded(const response &result)
{
    if (result.status == response::BatchEnd) {
        if (!result.path.isEmpty()) // the end of a check-out
            refreshSoon();
        return;
    }
    const bool fetched = result.status != response::Failed;
    if (result.path == lockFilePath) {
        readLockFile(fetched);
    } else if (m_indexFetching.contains(result.path)) {
        readIndexFile(result.path, fetched);
    } else if (!m_restoring.isEmpty() && result.path == m_restoring) {
        restoreArrived(result);
    } else if (!m_opening.isEmpty() && result.path == m_opening) {
        m_opening.clear();
        if (fetched) {
            showFile(result.path, result.status == response::Done ? mode::Held : mode::ReadOnly);
            return;
        }
        m_message->say(QStringLiteral("%1 could not be opened: %2").arg(result.path, result.message.trimmed()),
                       messageBar::Error);
        // A lock taken for a file that never arrived is given back.
        if (m_openingLocked && result.path != m_path)
            emit command(QStringLiteral("unlock"), result.path);
    }
}

void configFilesEditor::showFile(const QString &path, mode how)
{
    // Checking out the file being edited again keeps the user's text.
    const bool keepText = path == m_path && isModified();
    if (path != m_path)
        m_deleted = false;
    m_path = path;
    m_mode = how;
    QString note = m_openNote;
    messageBar::Kind kind = m_openNoteKind;
    if (note.isEmpty()) {
        note = how == mode::Held ? QStringLiteral("%1 checked out: edit and save").arg(path)
                                 : QStringLiteral("%1 opened read-only").arg(path);
        kind = how == mode::Held ? messageBar::Success : messageBar::Info;
    }
    if (keepText) {
        note += QStringLiteral("; your changes are kept");
    } else {
        QString text;
        bool crlf = false;
        const readResult read = readText(localFile(path), &text, &crlf);
        m_shown = read == readResult::Text;
        m_crlf = crlf;
        m_highlighter->setLanguage(m_shown ? configHighlighter::languageFor(path) : configHighlighter::Plain);
        m_text->setPlaceholderText(m_shown ? QString() : placeholderFor(read));
        m_text->setPlainText(text);
        if (!m_shown) {
            note = msgNotShown(path, read);
            kind = messageBar::Warning;
        }
    }
    m_openNote.clear();
    m_message->say(note, kind);
    showState();
    showBackups();
    updateButtons();
}

// ---- storing

void configFilesEditor::save()
{
    if (!isModified() || m_path.isEmpty())
        return;
    if (m_mode != mode::Held || !m_shown) {
        m_message->say(QStringLiteral("%1 is not checked out: check it out again to store your changes").arg(m_path),
                       messageBar::Warning);
        m_checkInAfterSave = false;
        return;
    }
    if (!m_uploading.isEmpty()) {
        m_message->say(QStringLiteral("%1 is being stored ...").arg(m_uploading));
        return;
    }
    const QString text = documentText();
    QString stored = text;
    if (m_crlf)
        stored.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray bytes = stored.toUtf8();
    const QString file = localFile(m_path);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        m_message->say(QStringLiteral("%1 was not stored: the local copy cannot be written (%2)").arg(m_path, out.errorString()),
                       messageBar::Error);
        m_checkInAfterSave = false;
        return;
    }
    m_uploading = m_path;
    m_uploadedText = text;
    m_message->say(QStringLiteral("Storing %1 ...").arg(m_path));
    updateButtons();
    emit command(QStringLiteral("uploadFile"), m_path);
}

void configFilesEditor::uploaded(const response &result)
{
    if (result.status == response::BatchEnd) {
        // An upload that ends without a word about the file did not store it.
        if (!m_uploading.isEmpty()) {
            m_message->say(QStringLiteral("%1: the server did not confirm storing it; your changes are kept").arg(m_uploading),
                           messageBar::Error);
            m_uploading.clear();
            m_checkInAfterSave = false;
            updateButtons();
        }
        refreshSoon();
        return;
    }
    if (m_uploading.isEmpty() || (!result.path.isEmpty() && result.path != m_uploading))
        return;
    const QString path = std::exchange(m_uploading, QString());
    if (result.status == response::Failed) {
        m_message->say(QStringLiteral("%1 was not stored: %2").arg(path, result.message.trimmed()), messageBar::Error);
        m_checkInAfterSave = false;
        updateButtons();
        return;
    }
    // Typing after the save started leaves the editor modified.
    if (path == m_path && documentText() == m_uploadedText) {
        m_deleted = false;
        m_text->document()->setModified(false);
    }
    m_uploadedText.clear();
    m_message->say(QStringLiteral("%1 stored on the server").arg(path), messageBar::Success);
    showState();
    updateButtons();
    if (std::exchange(m_checkInAfterSave, false) && path == m_path && !isModified())
        unlock(afterUnlock::CheckIn);
}

void configFilesEditor::checkIn()
{
    if (m_mode != mode::Held)
        return;
    if (isModified()) {
        m_checkInAfterSave = true;
        save();
        return;
    }
    unlock(afterUnlock::CheckIn);
}

void configFilesEditor::release()
{
    if (m_mode == mode::Held)
        unlock(afterUnlock::Release);
}

void configFilesEditor::unlock(afterUnlock then)
{
    m_afterUnlock = then;
    emit command(QStringLiteral("unlock"), m_path);
}

void configFilesEditor::unlocked(const response &result)
{
    refreshSoon();
    if (result.path != m_path)
        return;
    const afterUnlock then = std::exchange(m_afterUnlock, afterUnlock::Nothing);
    // Refused or not, this editor no longer holds the file.
    m_mode = mode::ReadOnly;
    if (result.status == response::Failed)
        m_message->say(QStringLiteral("The server did not release %1: %2").arg(m_path, result.message.trimmed()),
                       messageBar::Error);
    else if (then == afterUnlock::CheckIn)
        m_message->say(QStringLiteral("%1 checked in").arg(m_path), messageBar::Success);
    if (then == afterUnlock::Release) {
        m_text->document()->setModified(false);
        open(m_path, false, QStringLiteral("%1 released: the server's copy is shown read-only").arg(m_path),
             result.status == response::Failed ? messageBar::Warning : messageBar::Success);
    }
    showState();
    updateButtons();
}

// ---- backups

void configFilesEditor::restore()
{
    const QListWidgetItem *item = m_backups->currentItem();
    if (!item || m_path.isEmpty()) {
        m_message->say(QStringLiteral("Choose a backup to restore"), messageBar::Warning);
        return;
    }
    if (m_mode != mode::Held || !m_shown) {
        m_message->say(QStringLiteral("Check out %1 to restore one of its backups").arg(m_path), messageBar::Warning);
        return;
    }
    m_restoring = item->data(pathRole).toString();
    m_restoreFor = m_path;
    emit command(QStringLiteral("downloadFile"), m_restoring);
}

void configFilesEditor::restoreArrived(const response &result)
{
    const QString copy = std::exchange(m_restoring, QString());
    const QString name = copy.section(QLatin1Char('/'), -1);
    if (result.status == response::Failed) {
        m_message->say(QStringLiteral("Backup %1 could not be fetched: %2").arg(name, result.message.trimmed()),
                       messageBar::Error);
        return;
    }
    if (m_restoreFor != m_path || m_mode != mode::Held || !m_shown) {
        m_message->say(QStringLiteral("Backup %1 not loaded: %2 is no longer checked out here").arg(name, m_restoreFor),
                       messageBar::Warning);
        return;
    }
    QString text;
    bool crlf = false;
    const readResult read = readText(localFile(copy), &text, &crlf);
    if (read != readResult::Text) {
        m_message->say(QStringLiteral("Backup %1 not loaded: %2").arg(name, placeholderFor(read)), messageBar::Warning);
        return;
    }
    // An edit like any other: it can be undone and makes the editor dirty.
    QTextCursor cursor(m_text->document());
    cursor.select(QTextCursor::Document);
    cursor.insertText(text);
    m_text->document()->setModified(true);
    m_message->say(QStringLiteral("Backup %1 loaded: save to store it on the server").arg(name), messageBar::Success);
}

void configFilesEditor::readIndexFile(const QString &path, bool fetched)
{
    m_indexFetching.remove(path);
    if (fetched)
        m_index.setFile(path, readCapped(localFile(path)));
    else
        m_indexVersions.remove(path); // tried again at the next refresh
    showBackups();
}

void configFilesEditor::showBackups()
{
    const QString current = m_backups->currentItem() ? m_backups->currentItem()->data(pathRole).toString() : QString();
    m_backups->clear();
    if (m_path.isEmpty())
        return;
    for (const backupIndex::entry &e : m_index.backupsOf(m_path)) {
        if (!m_backupCopies.contains(e.copy))
            continue;
        QString text = e.date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("   ")
                       + e.copy.section(QLatin1Char('/'), -1);
        if (!e.user.isEmpty())
            text += QStringLiteral("   stored by ") + serverLockFile::describe(e.user + QLatin1Char(',') + e.address);
        auto *item = new QListWidgetItem(text, m_backups);
        item->setData(pathRole, e.copy);
        if (e.copy == current)
            m_backups->setCurrentItem(item);
    }
    updateButtons();
}

// ---- what the server says

void configFilesEditor::listed(const response &result)
{
    const QList<dirListing::entry> entries = dirListing::parse(result.message);
    if (result.path == configFolder) {
        rebuildTree(entries);
        return;
    }
    if (result.path != backupFolder)
        return;
    m_backupCopies.clear();
    for (const dirListing::entry &e : entries) {
        if (e.isFolder() || !plainName(e.name) || e.name.contains(QLatin1Char('/')))
            continue;
        const QString path = backupFolder + QLatin1Char('/') + e.name;
        m_backupCopies.insert(path);
        if (!e.name.endsWith(indexSuffix))
            continue;
        // Index files are fetched again only when they changed.
        const QString version = e.date.toString(Qt::ISODate) + QLatin1Char('/') + QString::number(e.size);
        if (m_indexVersions.value(path) == version || m_indexFetching.contains(path))
            continue;
        m_indexVersions.insert(path, version);
        m_indexFetching.insert(path);
        emit command(QStringLiteral("downloadFile"), path);
    }
    showBackups();
}

void configFilesEditor::locksHeld(const QString &lines)
{
    m_heldHere.clear();
    for (const QString &line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype comma = line.indexOf(QLatin1Char(','));
        if (comma > 0)
            m_heldHere.insert(line.mid(comma + 1).trimmed(), line.left(comma));
    }
    // A lock given back elsewhere (the start page) ends editing here; the text stays.
    if (m_mode == mode::Held && heldHere(m_path) != uid && m_opening != m_path) {
        m_mode = mode::ReadOnly;
        m_message->say(QStringLiteral("The lock on %1 was given back: the file is read-only now").arg(m_path),
                       messageBar::Warning);
        showState();
    }
    showLocks();
    updateButtons();
}

void configFilesEditor::readLockFile(bool fetched)
{
    // Without the file the server holds no locks.
    m_serverLocks = serverLockFile::parse(fetched ? readCapped(localFile(lockFilePath)) : QByteArray());
    showLocks();
    showState();
    updateButtons();
}

void configFilesEditor::noticed(const response &result)
{
    refreshSoon();
    const QString &path = result.path;
    if (result.operation == u"updated") {
        if (!result.message.isEmpty())
            m_index.add({QDateTime::currentDateTime(), path, QString(), QString(), backupFolder + QLatin1Char('/') + result.message});
        if (path == m_path && m_mode == mode::ReadOnly && m_opening.isEmpty())
            open(path, false, QStringLiteral("%1 was changed on the server: reloaded").arg(path));
        showBackups();
        return;
    }
    if (path != m_path)
        return;
    m_deleted = true;
    if (m_mode == mode::Held && m_shown) {
        // Saving stores the text again.
        m_text->document()->setModified(true);
        m_message->say(QStringLiteral("%1 was deleted on the server: your text is kept; save to store it again").arg(path),
                       messageBar::Warning);
    } else {
        m_message->say(QStringLiteral("%1 was deleted on the server: the text shown is its last version").arg(path),
                       messageBar::Warning);
    }
    showState();
}

// ---- what is shown

void configFilesEditor::rebuildTree(const QList<dirListing::entry> &entries)
{
    QSet<QString> expanded;
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it) {
        if ((*it)->isExpanded())
            expanded.insert((*it)->data(nameColumn, pathRole).toString());
    }
    const QString current = m_tree->currentItem() ? m_tree->currentItem()->data(nameColumn, pathRole).toString() : QString();
    m_tree->clear();

    QHash<QString, QTreeWidgetItem *> folders;
    const auto folderItem = [&](const QString &path) {
        QTreeWidgetItem *parent = m_tree->invisibleRootItem();
        QString walked = configFolder;
        for (const QString &part : path.mid(configFolder.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            walked += QLatin1Char('/') + part;
            QTreeWidgetItem *&item = folders[walked];
            if (!item) {
                item = new QTreeWidgetItem(parent, {part});
                item->setData(nameColumn, pathRole, walked);
                item->setData(nameColumn, folderRole, true);
                item->setIcon(nameColumn, style()->standardIcon(QStyle::SP_DirIcon));
            }
            parent = item;
        }
        return parent;
    };
    for (const dirListing::entry &e : entries) {
        if (!plainName(e.name))
            continue;
        const QString path = configFolder + QLatin1Char('/') + e.name;
        if (e.isFolder()) {
            folderItem(path);
            continue;
        }
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        auto *item = new QTreeWidgetItem(folderItem(path.left(slash)), {path.mid(slash + 1)});
        item->setData(nameColumn, pathRole, path);
        item->setData(nameColumn, folderRole, false);
        item->setText(sizeColumn, QLocale().formattedDataSize(e.size));
        // As a plain int: a Qt::Alignment variant would register a meta type
        // from this library, which goes stale once the library is unloaded.
        item->setData(sizeColumn, Qt::TextAlignmentRole, int(Qt::AlignRight | Qt::AlignVCenter));
        item->setText(dateColumn, e.date.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        item->setToolTip(nameColumn, path);
    }
    m_tree->sortItems(nameColumn, Qt::AscendingOrder);
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it) {
        const QString path = (*it)->data(nameColumn, pathRole).toString();
        if (expanded.contains(path))
            (*it)->setExpanded(true);
        if (path == current)
            m_tree->setCurrentItem(*it);
    }
    showLocks();
    updateButtons();
}

void configFilesEditor::showLocks()
{
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it) {
        const QString path = (*it)->data(nameColumn, pathRole).toString();
        const QString key = heldHere(path);
        const QString owner = key.isEmpty() ? heldElsewhere(path) : QString();
        (*it)->setText(lockColumn, !key.isEmpty()     ? QStringLiteral("you (%1)").arg(key)
                                   : !owner.isEmpty() ? serverLockFile::describe(owner)
                                                      : QString());
    }
}

void configFilesEditor::showState()
{
    m_pathLabel->setText(m_path.isEmpty() ? QStringLiteral("No file open") : m_path);
    QString state;
    if (m_mode == mode::Held) {
        state = QStringLiteral("Checked out: edit and save");
    } else if (m_mode == mode::ReadOnly) {
        QString owner = heldElsewhere(m_path);
        if (owner.isEmpty())
            owner = m_refusedBy;
        state = owner.isEmpty() ? QStringLiteral("Read-only")
                                : QStringLiteral("Read-only: checked out to %1").arg(serverLockFile::describe(owner));
    }
    if (m_deleted)
        state += m_mode == mode::Held ? QStringLiteral(" (deleted on the server: saving stores it again)")
                                      : QStringLiteral(" (deleted on the server)");
    m_stateLabel->setText(state);
}

void configFilesEditor::updateButtons()
{
    const QTreeWidgetItem *selected = m_tree->currentItem();
    const bool fileSelected = selected && !selected->data(nameColumn, folderRole).toBool();
    const QString target = targetPath();
    const bool held = m_mode == mode::Held;
    const bool idle = m_uploading.isEmpty();
    m_view->setEnabled(fileSelected);
    m_checkout->setEnabled(m_mayEdit && !target.isEmpty() && heldElsewhere(target).isEmpty()
                           && !(target == m_path && held));
    m_save->setEnabled(held && m_shown && idle && isModified());
    m_checkin->setEnabled(held && idle);
    m_release->setEnabled(held && idle);
    m_restore->setEnabled(m_backups->currentItem() != nullptr);
    m_text->setReadOnly(!textEditable());
}

// ---- helpers

// The local copy of a server path; empty for a path that would leave it.
QString configFilesEditor::localFile(const QString &path) const
{
    const QString root = QDir::cleanPath(m_workingFolder);
    const QString file = QDir::cleanPath(root + QLatin1Char('/') + path);
    return file.startsWith(root + QLatin1Char('/')) ? file : QString();
}

// The editor's text as stored: line breaks as "\n", non-breaking spaces kept
// (toPlainText() would turn them into blanks).
QString configFilesEditor::documentText() const
{
    return m_text->document()->toRawText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

// The editor of this program holding a path (or a folder above it), if any.
QString configFilesEditor::heldHere(const QString &path) const
{
    if (const auto exact = m_heldHere.constFind(path); exact != m_heldHere.constEnd())
        return *exact;
    for (auto it = m_heldHere.constBegin(); it != m_heldHere.constEnd(); ++it) {
        if (path.startsWith(it.key() + QLatin1Char('/')))
            return it.value();
    }
    return QString();
}

// The owner key of a lock that someone else holds on a path, if any.
QString configFilesEditor::heldElsewhere(const QString &path) const
{
    if (!heldHere(path).isEmpty())
        return QString();
    const std::optional<serverLockFile::entry> lock = m_serverLocks.governing(path);
    return lock ? lock->owner : QString();
}

// The file the open and check-out buttons act on: the one chosen in the
// tree, else the open one.
QString configFilesEditor::targetPath() const
{
    const QTreeWidgetItem *selected = m_tree->currentItem();
    if (selected && !selected->data(nameColumn, folderRole).toBool())
        return selected->data(nameColumn, pathRole).toString();
    return m_path;
}

bool configFilesEditor::textEditable() const
{
    return m_mode == mode::Held && m_shown;
}

#include "processEditor.h"

#include "dirListing.h"
#include "messageBar.h"
#include "procDefCheck.h"
#include "processTableModel.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const QString alarmsFolder = QStringLiteral("config/alarms");
const QString procDefName = QStringLiteral("proc_def.cfg");
const QString newProcessStem = QStringLiteral("New process");

// The rule types the library knows, as docs/rules.md spells them.
const QStringList ruleTypes = {QStringLiteral("Input"), QStringLiteral("AND"),  QStringLiteral("OR"),
                               QStringLiteral("NOT"),   QStringLiteral("TRUTH"), QStringLiteral("Time"),
                               QStringLiteral("HOLDOFF")};

// The keys a type's fields stand for (lower case); the form's other fields
// are for every type.
const QStringList typeKeys = {QStringLiteral("block"),  QStringLiteral("index"), QStringLiteral("alarm"),
                              QStringLiteral("inputs"), QStringLiteral("on"),    QStringLiteral("window"),
                              QStringLiteral("days"),   QStringLiteral("pulse"), QStringLiteral("ondelay"),
                              QStringLiteral("offdelay")};

QStringList keysOfType(const QString &type)
{
    const QString t = type.toLower();
    if (t == u"input")
        return {QStringLiteral("block"), QStringLiteral("index"), QStringLiteral("alarm")};
    if (t == u"and" || t == u"or" || t == u"not")
        return {QStringLiteral("inputs")};
    if (t == u"truth")
        return {QStringLiteral("inputs"), QStringLiteral("on")};
    if (t == u"time")
        return {QStringLiteral("window"), QStringLiteral("days"), QStringLiteral("inputs"), QStringLiteral("pulse")};
    if (t == u"holdoff")
        return {QStringLiteral("inputs"), QStringLiteral("ondelay"), QStringLiteral("offdelay")};
    // A type the library does not know: show everything, take nothing away.
    return typeKeys;
}

bool readsList(const QString &type)
{
    const QString t = type.toLower();
    return t == u"and" || t == u"or" || t == u"truth";
}

// How a key is spelled when the editor writes a new line of it.
QString keySpelling(const QString &key)
{
    static const QHash<QString, QString> spelling = {
        {"block", "Block"},       {"index", "Index"},       {"alarm", "Alarm"}, {"on", "On"},
        {"window", "Window"},     {"days", "Days"},         {"pulse", "Pulse"}, {"ondelay", "OnDelay"},
        {"offdelay", "OffDelay"}, {"mask", "Mask"},         {"type", "Type"},   {"latching", "Latching"},
        {"forcetimeout", "ForceTimeout"}};
    return spelling.value(key, key);
}

QString listed(const QStringList &names)
{
    constexpr int shown = 5;
    QString text = names.mid(0, shown).join(QStringLiteral(", "));
    if (names.size() > shown)
        text += QStringLiteral(" and %1 more").arg(names.size() - shown);
    return text;
}

} // namespace

processEditor::processEditor(const QString &workingFolder, bool mayEdit, QWidget *parent)
    : config_plugin_base(parent), m_workingFolder(workingFolder), m_mayEdit(mayEdit)
{
    setObjectName(QStringLiteral("processEditor"));

    m_systems = new QComboBox(this);
    m_systems->setObjectName(QStringLiteral("alarmSystemBox"));
    m_systems->setMinimumContentsLength(16);
    m_systems->setToolTip(QStringLiteral("The alarm systems of this system: the folders of config/alarms that hold a proc_def.cfg"));
    connect(m_systems, &QComboBox::activated, this, &processEditor::alarmSystemChosen);
    const auto button = [this](const QString &text, const char *name, const QString &tip) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        return b;
    };
    m_checkout = button(QStringLiteral("Check &out"), "checkoutButton",
                        QStringLiteral("Lock the file on the server for you and fetch it, to edit it"));
    m_save = button(QStringLiteral("&Save"), "saveButton",
                    QStringLiteral("Check every process and store the file on the server; you keep the lock"));
    m_checkin = button(QStringLiteral("Check &in"), "checkinButton",
                       QStringLiteral("Save any changes, then give the lock back"));
    m_revert = button(QStringLiteral("Re&load"), "revertButton",
                      QStringLiteral("Drop unsaved changes and show the file again"));
    connect(m_checkout, &QPushButton::clicked, this, &processEditor::checkOut);
    connect(m_save, &QPushButton::clicked, this, &processEditor::save);
    connect(m_checkin, &QPushButton::clicked, this, &processEditor::checkIn);
    connect(m_revert, &QPushButton::clicked, this, &processEditor::revert);
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Alarm system:"), this));
    top->addWidget(m_systems);
    top->addWidget(m_checkout);
    top->addWidget(m_save);
    top->addWidget(m_checkin);
    top->addWidget(m_revert);
    top->addStretch();

    // The table, over a model: files hold tens of thousands of processes.
    auto *tablePane = new QWidget(this);
    m_filter = new QLineEdit(tablePane);
    m_filter->setObjectName(QStringLiteral("filterEdit"));
    m_filter->setPlaceholderText(QStringLiteral("Find processes by name"));
    m_filter->setClearButtonEnabled(true);
    m_model = new processTableModel(this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setFilterKeyColumn(processTableModel::nameColumn);
    m_proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    connect(m_filter, &QLineEdit::textChanged, m_proxy, &QSortFilterProxyModel::setFilterFixedString);
    m_table = new QTableView(tablePane);
    m_table->setObjectName(QStringLiteral("processTable"));
    m_table->setModel(m_proxy);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->resizeSection(processTableModel::nameColumn, 220);
    m_table->horizontalHeader()->resizeSection(processTableModel::inputsColumn, 200);
    m_table->verticalHeader()->setToolTip(QStringLiteral("The line of the process in the file"));
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &processEditor::currentRowChanged);
    m_add = new QPushButton(QStringLiteral("&Add"), tablePane);
    m_add->setObjectName(QStringLiteral("addButton"));
    m_add->setToolTip(QStringLiteral("Add a process at the end of the file"));
    m_remove = new QPushButton(QStringLiteral("Re&move"), tablePane);
    m_remove->setObjectName(QStringLiteral("removeButton"));
    m_remove->setToolTip(QStringLiteral("Remove the selected process"));
    m_check = new QPushButton(QStringLiteral("C&heck"), tablePane);
    m_check->setObjectName(QStringLiteral("checkButton"));
    m_check->setToolTip(QStringLiteral("List what keeps the alarm engine from loading every process"));
    connect(m_add, &QPushButton::clicked, this, &processEditor::addProcess);
    connect(m_remove, &QPushButton::clicked, this, &processEditor::removeProcess);
    connect(m_check, &QPushButton::clicked, this, [this] {
        const int found = checkDocument();
        m_message->say(found ? QStringLiteral("%1 problem(s) found, listed below.").arg(found)
                             : QStringLiteral("Every process of %1 loads without a problem.").arg(m_alarmSystem),
                       found ? messageBar::Warning : messageBar::Success);
    });
    auto *tableButtons = new QHBoxLayout;
    tableButtons->addWidget(m_add);
    tableButtons->addWidget(m_remove);
    tableButtons->addStretch();
    tableButtons->addWidget(m_check);
    auto *tableLayout = new QVBoxLayout(tablePane);
    tableLayout->setContentsMargins(0, 0, 0, 0);
    tableLayout->addWidget(m_filter);
    tableLayout->addWidget(m_table, 1);
    tableLayout->addLayout(tableButtons);

    m_form = new QGroupBox(QStringLiteral("Process"), this);
    m_form->setObjectName(QStringLiteral("processForm"));
    buildForm(m_form);

    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(tablePane);
    splitter->addWidget(m_form);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);

    m_problems = new QListWidget(this);
    m_problems->setObjectName(QStringLiteral("problemList"));
    m_problems->setMaximumHeight(110);
    m_problems->setToolTip(QStringLiteral("What keeps the alarm engine from loading a process; activate one to go to it"));
    connect(m_problems, &QListWidget::itemActivated, this, [this](QListWidgetItem *item) {
        const int row = m_model->document().indexAtLine(item->data(Qt::UserRole).toInt());
        if (row >= 0)
            selectRow(row);
    });

    m_message = new messageBar(this);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(new QLabel(QStringLiteral("Problems:"), this));
    layout->addWidget(m_problems);
    layout->addWidget(m_message);

    showProcess(-1);
    updateEnabled();
}

QLineEdit *processEditor::addField(const QString &key, const QString &label, const QString &hint)
{
    auto *edit = new QLineEdit(m_form);
    QString name = keySpelling(key);
    name[0] = name.at(0).toLower();
    edit->setObjectName(name + QStringLiteral("Edit"));
    edit->setPlaceholderText(hint);
    connect(edit, &QLineEdit::textChanged, this, &processEditor::formEdited);
    m_formLayout->addRow(label, edit);
    m_fields.insert(key, edit);
    return edit;
}

void processEditor::buildForm(QGroupBox *box)
{
    m_formLayout = new QFormLayout;
    m_name = new QLineEdit(box);
    m_name->setObjectName(QStringLiteral("nameEdit"));
    m_name->setToolTip(QStringLiteral("Rename changes the name here and in every process that reads this one"));
    connect(m_name, &QLineEdit::textChanged, this, &processEditor::formEdited);
    m_formLayout->addRow(QStringLiteral("Name:"), m_name);
    m_type = new QComboBox(box);
    m_type->setObjectName(QStringLiteral("typeBox"));
    m_type->addItems(ruleTypes);
    connect(m_type, &QComboBox::currentTextChanged, this, &processEditor::showFieldsFor);
    connect(m_type, &QComboBox::currentIndexChanged, this, &processEditor::formEdited);
    m_formLayout->addRow(QStringLiteral("Type:"), m_type);
    addField(QStringLiteral("block"), QStringLiteral("Block:"), QStringLiteral("input module instance, 1 or more"));
    addField(QStringLiteral("index"), QStringLiteral("Index:"), QStringLiteral("position in the block, 1 or more"));
    addField(QStringLiteral("alarm"), QStringLiteral("Alarm:"), QStringLiteral("!= 0"));
    addField(QStringLiteral("inputs"), QStringLiteral("Inputs:"), QStringLiteral("process names, separated by commas"));
    addField(QStringLiteral("on"), QStringLiteral("On:"), QStringLiteral("rows such as 10, 0x1"));
    addField(QStringLiteral("window"), QStringLiteral("Window:"), QStringLiteral("08:00-17:30"));
    addField(QStringLiteral("days"), QStringLiteral("Days:"), QStringLiteral("All"));
    addField(QStringLiteral("pulse"), QStringLiteral("Pulse:"), QStringLiteral("seconds, 1 or more"));
    addField(QStringLiteral("ondelay"), QStringLiteral("OnDelay:"), QStringLiteral("0 seconds"));
    addField(QStringLiteral("offdelay"), QStringLiteral("OffDelay:"), QStringLiteral("0 seconds"));
    addField(QStringLiteral("mask"), QStringLiteral("Mask:"), QStringLiteral("a process that masks this one"));
    m_latching = new QComboBox(box);
    m_latching->setObjectName(QStringLiteral("latchingBox"));
    connect(m_latching, &QComboBox::currentIndexChanged, this, &processEditor::formEdited);
    m_formLayout->addRow(QStringLiteral("Latching:"), m_latching);
    addField(QStringLiteral("forcetimeout"), QStringLiteral("ForceTimeout:"), QStringLiteral("0 seconds: forces last until Normal"));
    m_otherKeys = new QLabel(box);
    m_otherKeys->setObjectName(QStringLiteral("otherKeys"));
    m_otherKeys->setWordWrap(true);
    m_otherKeys->setTextFormat(Qt::PlainText);
    m_formLayout->addRow(QStringLiteral("Other keys:"), m_otherKeys);

    m_apply = new QPushButton(QStringLiteral("A&pply"), box);
    m_apply->setObjectName(QStringLiteral("applyButton"));
    m_apply->setToolTip(QStringLiteral("Write the form into the file (saved with Save)"));
    m_rename = new QPushButton(QStringLiteral("&Rename"), box);
    m_rename->setObjectName(QStringLiteral("renameButton"));
    m_rename->setToolTip(QStringLiteral("Rename the process to the name above, in every process that reads it too"));
    connect(m_apply, &QPushButton::clicked, this, &processEditor::applyForm);
    connect(m_rename, &QPushButton::clicked, this, &processEditor::renameProcess);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_rename);
    buttons->addWidget(m_apply);
    auto *layout = new QVBoxLayout(box);
    layout->addLayout(m_formLayout);
    layout->addStretch();
    layout->addLayout(buttons);
}

// ---- the alarm systems and the file on the server

void processEditor::setActive(bool active)
{
    if (!active)
        return;
    listAlarmSystems();
    // The start page may have given the lock back meanwhile.
    askLocks();
}

void processEditor::navigate(const QString &, const QString &location)
{
    const qsizetype slash = location.indexOf(QLatin1Char('/'));
    const QString system = location.left(slash);
    const QString process = slash < 0 ? QString() : location.mid(slash + 1);
    if (system == m_alarmSystem && m_loaded) {
        if (const int row = m_model->document().indexOf(process); row >= 0)
            selectRow(row);
        return;
    }
    m_pendingSystem = system;
    m_pendingProcess = process;
    if (m_systems->findText(system) >= 0 && !isModified() && m_request == request::none)
        open(system);
    else
        listAlarmSystems();
}

void processEditor::listAlarmSystems()
{
    emit command(QStringLiteral("dir"), alarmsFolder);
}

void processEditor::showAlarmSystems(const QString &listing)
{
    QStringList names;
    for (const dirListing::entry &e : dirListing::parse(listing)) {
        const QStringList parts = e.name.split(QLatin1Char('/'));
        if (!e.isFolder() && parts.size() == 2 && !parts.first().isEmpty() && parts.last() == procDefName)
            names << parts.first();
    }
    // The open one stays choosable even when it went from the server.
    if (!m_alarmSystem.isEmpty())
        names << m_alarmSystem;
    names.removeDuplicates();
    names.sort(Qt::CaseInsensitive);
    {
        const QSignalBlocker blocker(m_systems);
        m_systems->clear();
        m_systems->addItems(names);
        m_systems->setCurrentIndex(names.indexOf(m_alarmSystem));
    }
    if (names.isEmpty()) {
        m_message->say(QStringLiteral("This system has no alarm systems: no folder of %1 holds a %2.").arg(alarmsFolder, procDefName));
        return;
    }
    const bool canSwitch = !isModified() && m_request == request::none;
    if (!m_pendingSystem.isEmpty() && names.contains(m_pendingSystem) && m_pendingSystem != m_alarmSystem && canSwitch)
        open(m_pendingSystem);
    else if (m_alarmSystem.isEmpty())
        open(names.first());
}

void processEditor::alarmSystemChosen(int index)
{
    const QString chosen = m_systems->itemText(index);
    if (chosen == m_alarmSystem)
        return;
    if (isModified() || m_request != request::none) {
        m_systems->setCurrentIndex(m_systems->findText(m_alarmSystem));
        m_message->say(isModified() ? QStringLiteral("Save or reload the changed processes of %1 before opening another alarm system.")
                                          .arg(m_alarmSystem)
                                    : QStringLiteral("Wait until the server has answered for %1.").arg(m_alarmSystem),
                       messageBar::Warning);
        return;
    }
    open(chosen);
}

void processEditor::open(const QString &alarmSystem)
{
    m_pendingSystem.clear();
    m_alarmSystem = alarmSystem;
    m_path = alarmsFolder + QLatin1Char('/') + alarmSystem + QLatin1Char('/') + procDefName;
    m_systems->setCurrentIndex(m_systems->findText(alarmSystem));
    m_held = false;
    m_loaded = false;
    m_ownNotices = 0;
    m_checkInAfterUpload = false;
    m_reloadNote.clear();
    m_applying = true;
    m_model->clear();
    m_applying = false;
    m_problems->clear();
    showProcess(-1);
    setModified(false);
    fetch(request::download);
}

void processEditor::fetch(request kind)
{
    m_request = kind;
    m_answered = false;
    m_lockRefusal.clear();
    updateEnabled();
    m_message->say(kind == request::checkout ? QStringLiteral("Checking out %1 ...").arg(m_path)
                                             : QStringLiteral("Fetching %1 ...").arg(m_path));
    emit command(kind == request::checkout ? QStringLiteral("checkoutFile") : QStringLiteral("downloadFile"), m_path);
}

void processEditor::checkOut()
{
    if (m_mayEdit && !m_path.isEmpty() && !m_held && m_request == request::none)
        fetch(request::checkout);
}

void processEditor::revert()
{
    if (m_path.isEmpty() || m_request != request::none)
        return;
    if (isModified())
        m_reloadNote = QStringLiteral("Your changes were dropped; %1 shows the file again.").arg(m_alarmSystem);
    fetch(request::download);
}

void processEditor::checkIn()
{
    if (!m_held || m_request != request::none)
        return;
    if (!isModified()) {
        unlock();
        return;
    }
    m_checkInAfterUpload = true;
    save();
    if (m_request != request::upload)
        m_checkInAfterUpload = false;
}

void processEditor::unlock()
{
    m_request = request::unlock;
    m_answered = false;
    updateEnabled();
    m_message->say(QStringLiteral("Giving back the lock on %1 ...").arg(m_path));
    emit command(QStringLiteral("unlock"), m_path);
}

void processEditor::askLocks()
{
    if (!m_path.isEmpty())
        emit command(QStringLiteral("locks"), QString());
}

void processEditor::commsEvent(response &result)
{
    const QString &operation = result.operation;
    if (operation == u"dir") {
        if (result.path == alarmsFolder)
            showAlarmSystems(result.message);
    } else if (operation == u"locks") {
        const QStringList held = result.message.split(QLatin1Char('\n'));
        m_held = !m_path.isEmpty() && held.contains(uid + QLatin1Char(',') + m_path);
        updateEnabled();
    } else if (operation == u"lock") {
        if (result.path == m_path && m_request == request::checkout) {
            m_held = result.status == response::Done;
            if (!m_held)
                m_lockRefusal = result.message.trimmed();
        }
    } else if (operation == u"download") {
        downloadAnswer(result);
    } else if (operation == u"upload") {
        uploadAnswer(result);
    } else if (operation == u"unlock") {
        unlockAnswer(result);
    } else if (operation == u"updated" || operation == u"deleted") {
        notice(result);
    }
}

void processEditor::downloadAnswer(const response &result)
{
    if (m_request != request::download && m_request != request::checkout)
        return;
    if (result.status == response::BatchEnd) {
        const bool checkout = m_request == request::checkout;
        m_request = request::none;
        if (!m_answered)
            m_message->say(QStringLiteral("The server sent nothing for %1.").arg(m_path), messageBar::Warning);
        updateEnabled();
        if (checkout && m_held && m_mayEdit)
            m_table->setFocus();
        return;
    }
    if (result.path != m_path)
        return;
    m_answered = true;
    if (result.status == response::Failed) {
        m_message->say(QStringLiteral("Could not fetch %1: %2").arg(m_path, result.message.trimmed()), messageBar::Error);
        return;
    }
    if (m_request == request::checkout && isModified() && m_loaded) {
        // The lock was lost and asked for again: the edits stay what is shown.
        askLocks();
        m_message->say(m_held ? QStringLiteral("Checked out %1 again; your changes are kept. Save to store them.").arg(m_path)
                              : QStringLiteral("Could not check out %1 (%2); your changes are kept.").arg(m_path, m_lockRefusal),
                       messageBar::Warning);
        return;
    }
    if (!loadLocal())
        return;
    askLocks();
    sayOpened();
}

void processEditor::sayOpened()
{
    const int processes = m_model->document().count();
    QString text;
    messageBar::Kind kind = messageBar::Info;
    if (!m_lockRefusal.isEmpty()) {
        static const QRegularExpression owner(QStringLiteral("checked out to '([^']*)'"));
        const QRegularExpressionMatch m = owner.match(m_lockRefusal);
        text = m.hasMatch() ? QStringLiteral("%1 is checked out to %2: it is open read-only.").arg(m_path, m.captured(1))
                            : QStringLiteral("Could not check out %1 (%2): it is open read-only.").arg(m_path, m_lockRefusal);
        kind = messageBar::Warning;
    } else if (!m_reloadNote.isEmpty()) {
        text = m_reloadNote;
        kind = messageBar::Warning;
    } else if (m_held) {
        text = QStringLiteral("%1 is checked out to you: %2 processes.").arg(m_path).arg(processes);
        kind = messageBar::Success;
    } else {
        text = QStringLiteral("%1: %2 processes, read-only. %3")
                   .arg(m_path)
                   .arg(processes)
                   .arg(m_mayEdit ? QStringLiteral("Check out to edit them.")
                                  : QStringLiteral("Your user level does not allow editing."));
    }
    m_reloadNote.clear();
    if (m_problems->count() > 0)
        text += QStringLiteral(" %1 problem(s) found, listed below.").arg(m_problems->count());
    m_message->say(text, kind);
}

void processEditor::uploadAnswer(const response &result)
{
    if (m_request != request::upload)
        return;
    if (result.status == response::BatchEnd) {
        m_request = request::none;
        if (!m_answered) {
            m_checkInAfterUpload = false;
            m_message->say(QStringLiteral("The server did not answer for %1; your changes are kept.").arg(m_path),
                           messageBar::Error);
        }
        updateEnabled();
        return;
    }
    if (result.path != m_path)
        return;
    m_answered = true;
    if (result.status != response::Done) {
        m_checkInAfterUpload = false;
        // A refusal may mean the lock is gone.
        askLocks();
        m_message->say(QStringLiteral("The server did not store %1: %2. Your changes are kept.")
                           .arg(m_path, result.message.trimmed()),
                       messageBar::Error);
        return;
    }
    // The server tells every editor of the new version, this one too.
    ++m_ownNotices;
    setModified(false);
    if (m_checkInAfterUpload) {
        m_checkInAfterUpload = false;
        unlock();
        return;
    }
    m_message->say(QStringLiteral("Saved %1 on the server.").arg(m_path), messageBar::Success);
}

void processEditor::unlockAnswer(const response &result)
{
    if (result.path != m_path || m_request != request::unlock)
        return;
    m_request = request::none;
    if (result.status == response::Done) {
        m_held = false;
        m_message->say(QStringLiteral("Checked in %1: the server holds your version and the lock is given back.").arg(m_path),
                       messageBar::Success);
    } else {
        askLocks();
        m_message->say(QStringLiteral("The server did not give back the lock on %1: %2").arg(m_path, result.message.trimmed()),
                       messageBar::Error);
    }
    updateEnabled();
}

void processEditor::notice(const response &result)
{
    if (result.path.isEmpty() || result.path != m_path) {
        // An alarm system may have come or gone.
        if (result.path.startsWith(alarmsFolder + QLatin1Char('/')) && result.path.endsWith(QLatin1Char('/') + procDefName))
            listAlarmSystems();
        return;
    }
    if (result.operation == u"deleted") {
        m_message->say(QStringLiteral("%1 was deleted on the server.%2")
                           .arg(m_path, isModified() ? QStringLiteral(" Your changes are kept; saving stores the file again.")
                                                     : QString()),
                       messageBar::Warning);
        listAlarmSystems();
        return;
    }
    if (m_ownNotices > 0) {
        --m_ownNotices;
        return;
    }
    if (isModified() || m_request != request::none) {
        m_message->say(QStringLiteral("%1 was changed on the server by another editor; saving your changes replaces that version.")
                           .arg(m_path),
                       messageBar::Warning);
        return;
    }
    m_reloadNote = QStringLiteral("%1 was changed on the server: this is the new version.").arg(m_path);
    fetch(request::download);
}

bool processEditor::loadLocal()
{
    QFile file(localFile());
    if (!file.open(QIODevice::ReadOnly)) {
        m_loaded = false;
        m_message->say(QStringLiteral("Could not read the local copy of %1: %2").arg(m_path, file.errorString()), messageBar::Error);
        updateEnabled();
        return false;
    }
    // Read no more than the document takes, whatever the file is.
    const QByteArray content = file.read(procDefDocument::maxBytes + 1);
    QString error;
    m_applying = true;
    m_loaded = m_model->load(content, &error);
    m_applying = false;
    m_shownRow = -1;
    m_formDirty = false;
    setModified(false);
    if (!m_loaded) {
        m_problems->clear();
        showProcess(-1);
        m_message->say(QStringLiteral("Could not open %1: %2.").arg(m_path, error), messageBar::Error);
        return false;
    }
    checkDocument();
    const int wanted = m_model->document().indexOf(m_pendingProcess);
    m_pendingProcess.clear();
    if (wanted >= 0)
        selectRow(wanted);
    else if (m_model->rowCount() > 0)
        selectRow(0);
    showProcess(selectedRow());
    return true;
}

// ---- the table and the form

int processEditor::selectedRow() const
{
    const QModelIndex current = m_table->currentIndex();
    return current.isValid() ? m_proxy->mapToSource(current).row() : -1;
}

void processEditor::selectRow(int row)
{
    QModelIndex at = m_proxy->mapFromSource(m_model->index(row, 0));
    if (!at.isValid() && row >= 0 && row < m_model->rowCount()) {
        m_filter->clear();
        at = m_proxy->mapFromSource(m_model->index(row, 0));
    }
    m_table->setCurrentIndex(at);
    m_table->scrollTo(at);
}

void processEditor::currentRowChanged()
{
    if (m_applying)
        return;
    // Leaving a process keeps what was typed for it.
    if (m_formDirty && m_shownRow >= 0)
        applyForm();
    showProcess(selectedRow());
}

void processEditor::showProcess(int row)
{
    const procDefDocument &doc = m_model->document();
    if (row >= doc.count())
        row = -1;
    m_shownRow = row;
    m_applying = true;
    const auto value = [&](QStringView key) { return row < 0 ? QString() : doc.value(row, key); };
    m_form->setTitle(row < 0 ? QStringLiteral("Process") : QStringLiteral("Process (line %1)").arg(doc.line(row)));
    m_name->setText(row < 0 ? QString() : doc.name(row));

    // A type or latching value the form does not offer is shown as written.
    while (m_type->count() > ruleTypes.size())
        m_type->removeItem(m_type->count() - 1);
    const QString type = value(u"Type");
    int typeAt = m_type->findText(type, Qt::MatchFixedString);
    if (typeAt < 0 && row >= 0) {
        m_type->addItem(type);
        typeAt = m_type->count() - 1;
    }
    m_type->setCurrentIndex(qMax(typeAt, 0));
    m_latching->clear();
    m_latching->addItems({QString(), QStringLiteral("yes"), QStringLiteral("no")});
    const QString latching = value(u"Latching");
    if (m_latching->findText(latching) < 0)
        m_latching->addItem(latching);
    m_latching->setCurrentIndex(m_latching->findText(latching));

    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it) {
        if (it.key() == u"inputs")
            it.value()->setText(row >= 0 && doc.hasKey(row, u"Inputs") ? value(u"Inputs") : value(u"Input"));
        else
            it.value()->setText(value(it.key()));
    }
    QStringList others;
    if (row >= 0) {
        for (const procDefDocument::keyValue &kv : doc.keys(row)) {
            const QString key = kv.key.toLower();
            if (!m_fields.contains(key) && key != u"type" && key != u"latching" && key != u"input")
                others << kv.key + QLatin1Char('=') + kv.value;
        }
    }
    m_otherKeys->setText(others.join(QLatin1Char('\n')));
    m_formLayout->setRowVisible(m_otherKeys, !others.isEmpty());
    showFieldsFor(m_type->currentText());
    m_applying = false;
    m_formDirty = false;
    reportModified();
    updateEnabled();
}

void processEditor::showFieldsFor(const QString &type)
{
    const QStringList shown = keysOfType(type);
    for (const QString &key : typeKeys)
        m_formLayout->setRowVisible(m_fields.value(key), shown.contains(key));
    if (auto *label = qobject_cast<QLabel *>(m_formLayout->labelForField(m_fields.value(QStringLiteral("inputs")))))
        label->setText(readsList(type) || keysOfType(type) == typeKeys ? QStringLiteral("Inputs:") : QStringLiteral("Input:"));
}

void processEditor::formEdited()
{
    if (m_applying)
        return;
    m_formDirty = true;
    reportModified();
    updateEnabled();
}

bool processEditor::applyForm()
{
    const procDefDocument &doc = m_model->document();
    const int row = m_shownRow;
    if (row < 0 || row >= doc.count() || !m_loaded) {
        m_formDirty = false;
        reportModified();
        return true;
    }
    const QString type = m_type->currentText().trimmed();
    const QStringList taken = keysOfType(type);
    QList<procDefDocument::keyValue> changes;
    QStringList dropped;
    const auto want = [&](const QString &key, const QString &value, bool applies) {
        const QString wanted = applies ? value.trimmed() : QString();
        if (doc.value(row, key) == wanted)
            return;
        if (!applies)
            dropped << key;
        changes.append({key, wanted});
    };
    if (type.compare(doc.value(row, u"Type"), Qt::CaseInsensitive) != 0)
        changes.append({QStringLiteral("Type"), type});
    for (const QString &key : typeKeys) {
        if (key != u"inputs")
            want(keySpelling(key), m_fields.value(key)->text(), taken.contains(key));
    }
    // The processes read go under the key the file already uses.
    const QString inputsKey = doc.hasKey(row, u"Inputs") ? QStringLiteral("Inputs")
                              : doc.hasKey(row, u"Input") ? QStringLiteral("Input")
                              : readsList(type)           ? QStringLiteral("Inputs")
                                                          : QStringLiteral("Input");
    want(inputsKey, m_fields.value(QStringLiteral("inputs"))->text(), taken.contains(QStringLiteral("inputs")));
    want(inputsKey == u"Inputs" ? QStringLiteral("Input") : QStringLiteral("Inputs"), QString(), true);
    want(QStringLiteral("Mask"), m_fields.value(QStringLiteral("mask"))->text(), true);
    want(QStringLiteral("Latching"), m_latching->currentText(), true);
    want(QStringLiteral("ForceTimeout"), m_fields.value(QStringLiteral("forcetimeout"))->text(), true);

    const QString name = doc.name(row);
    QString error;
    m_applying = true;
    const bool written = m_model->setValues(row, changes, &error);
    m_applying = false;
    if (!changes.isEmpty())
        setModified(true);
    if (!written) {
        m_message->say(QStringLiteral("Could not apply the form to %1: %2.").arg(name, error), messageBar::Error);
        return false;
    }
    if (m_name->text().trimmed() != name && !renameProcess())
        return false;
    m_formDirty = false;
    reportModified();
    checkDocument();
    showProcess(row);
    const QString problems = m_model->problems(row);
    if (!problems.isEmpty())
        m_message->say(QStringLiteral("Applied to %1, which the alarm engine would not load yet: %2")
                           .arg(doc.name(row), problems.split(QLatin1Char('\n')).join(QStringLiteral("; "))),
                       messageBar::Warning);
    else if (!dropped.isEmpty())
        m_message->say(QStringLiteral("Applied to %1; removed what type %2 does not take: %3.")
                           .arg(doc.name(row), type, dropped.join(QStringLiteral(", "))),
                       messageBar::Success);
    else
        m_message->say(changes.isEmpty() && name == doc.name(row) ? QStringLiteral("%1 is unchanged.").arg(name)
                                                                   : QStringLiteral("Applied to %1.").arg(doc.name(row)),
                       messageBar::Success);
    return true;
}

bool processEditor::renameProcess()
{
    const procDefDocument &doc = m_model->document();
    const int row = m_shownRow;
    if (row < 0 || row >= doc.count())
        return false;
    const QString oldName = doc.name(row);
    const QString newName = m_name->text().trimmed();
    if (newName == oldName && doc.nameIsUtf8(row))
        return true;
    QStringList readers;
    if (doc.indexOf(oldName) == row) {
        for (int reader : doc.readers(oldName))
            readers << doc.name(reader);
    }
    QString error;
    m_applying = true;
    const bool renamed = m_model->rename(row, newName, &error);
    m_applying = false;
    if (!renamed) {
        m_message->say(QStringLiteral("%1 cannot be renamed to %2: %3.").arg(oldName, newName, error), messageBar::Error);
        return false;
    }
    m_applying = true;
    m_name->setText(newName);
    m_applying = false;
    setModified(true);
    checkDocument();
    m_message->say(readers.isEmpty() ? QStringLiteral("Renamed %1 to %2.").arg(oldName, newName)
                                     : QStringLiteral("Renamed %1 to %2, in the processes that read it too: %3.")
                                           .arg(oldName, newName, listed(readers)),
                   messageBar::Success);
    return true;
}

void processEditor::addProcess()
{
    if (m_formDirty && !applyForm())
        return;
    const QString name = m_model->document().freeName(newProcessStem);
    QString error;
    m_applying = true;
    const int row = m_model->add(name, {{QStringLiteral("Type"), ruleTypes.first()}}, &error);
    m_applying = false;
    if (row < 0) {
        m_message->say(QStringLiteral("Could not add a process: %1.").arg(error), messageBar::Error);
        return;
    }
    setModified(true);
    checkDocument();
    selectRow(row);
    showProcess(row);
    m_name->setFocus();
    m_name->selectAll();
    m_message->say(QStringLiteral("Added %1 at the end: name it, give it its type and keys, then Apply.").arg(name));
}

void processEditor::removeProcess()
{
    const int row = m_shownRow;
    if (row < 0 || row >= m_model->document().count())
        return;
    const procDefDocument &doc = m_model->document();
    const QString name = doc.name(row);
    QStringList readers;
    if (doc.indexOf(name) == row) {
        for (int reader : doc.readers(name)) {
            if (reader != row)
                readers << doc.name(reader);
        }
    }
    m_formDirty = false;
    m_shownRow = -1;
    m_applying = true;
    m_model->remove(row);
    m_applying = false;
    setModified(true);
    checkDocument();
    if (m_model->rowCount() > 0)
        selectRow(qMin(row, m_model->rowCount() - 1));
    showProcess(selectedRow());
    if (readers.isEmpty())
        m_message->say(QStringLiteral("Removed %1.").arg(name), messageBar::Success);
    else
        m_message->say(QStringLiteral("Removed %1, which %2 still read: change them before saving.").arg(name, listed(readers)),
                       messageBar::Warning);
}

int processEditor::checkDocument()
{
    const QList<procDefCheck::problem> problems = m_model->document().check();
    m_model->setProblems(problems);
    m_problems->clear();
    for (const procDefCheck::problem &p : problems) {
        auto *item = new QListWidgetItem(procDefCheck::describe(p), m_problems);
        item->setData(Qt::UserRole, p.line);
    }
    return int(problems.size());
}

// ---- saving

bool processEditor::isModified()
{
    return m_modified || m_formDirty;
}

void processEditor::save()
{
    if (!isModified())
        return;
    if (!m_loaded || !m_held || !m_mayEdit) {
        m_message->say(QStringLiteral("%1 is not checked out to you: check it out to save changes.").arg(m_path),
                       messageBar::Warning);
        return;
    }
    if (m_request != request::none) {
        m_message->say(QStringLiteral("Wait until the server has answered for %1, then save.").arg(m_path), messageBar::Warning);
        return;
    }
    if (m_formDirty && !applyForm())
        return;
    if (!m_modified)
        return;
    if (const int found = checkDocument(); found > 0) {
        // The first problem in the library's words; the list holds them all.
        const QListWidgetItem *first = m_problems->item(0);
        m_message->say(QStringLiteral("Not saved: %1%2").arg(first->text(), found > 1 ? QStringLiteral(" (and %1 more, listed below)").arg(found - 1)
                                                                                      : QString()),
                       messageBar::Error);
        if (const int row = m_model->document().indexAtLine(first->data(Qt::UserRole).toInt()); row >= 0)
            selectRow(row);
        return;
    }

    const QString local = localFile();
    QDir().mkpath(QFileInfo(local).absolutePath());
    QSaveFile file(local);
    const QByteArray text = m_model->document().text();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        m_message->say(QStringLiteral("Not saved: the local copy %1 could not be written: %2").arg(local, file.errorString()),
                       messageBar::Error);
        return;
    }
    m_request = request::upload;
    m_answered = false;
    updateEnabled();
    m_message->say(QStringLiteral("Saving %1 ...").arg(m_path));
    emit command(QStringLiteral("uploadFile"), m_path);
}

void processEditor::setModified(bool modified)
{
    m_modified = modified;
    reportModified();
    updateEnabled();
}

void processEditor::reportModified()
{
    const bool now = isModified();
    if (now == m_reportedModified)
        return;
    m_reportedModified = now;
    emit command(now ? QStringLiteral("dirty") : QStringLiteral("clean"), m_path);
}

void processEditor::updateEnabled()
{
    const bool idle = m_request == request::none;
    const bool editable = m_mayEdit && m_held && m_loaded && idle;
    const bool selected = m_shownRow >= 0;
    m_systems->setEnabled(idle);
    m_checkout->setEnabled(m_mayEdit && !m_path.isEmpty() && !m_held && idle);
    m_checkin->setEnabled(m_mayEdit && m_held && idle);
    m_save->setEnabled(editable && isModified());
    m_revert->setEnabled(!m_path.isEmpty() && idle);
    m_form->setEnabled(editable && selected);
    m_add->setEnabled(editable);
    m_remove->setEnabled(editable && selected);
    m_check->setEnabled(m_loaded);
}

QString processEditor::localFile() const
{
    return m_workingFolder + QLatin1Char('/') + m_path;
}

QString processEditor::about()
{
    return QStringLiteral("<p>Alarm processes: the processes of each alarm system (config/alarms/&lt;alarm system&gt;/proc_def.cfg) "
                          "as a table and a form, checked with the alarm engine's own rule parser before they are "
                          "saved.</p>");
}

// A small editor plugin for the demonstration installation: the start page
// lists the files of the system's config folder on the server and shows one
// (read-only) when it is double-clicked. It is built like any plugin, against
// the plugin interface only.
#include "setdesk_plugin.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>
#include <QXmlStreamReader>

namespace {

const QString listedFolder = QStringLiteral("config");

class filesPage : public config_plugin_base
{
public:
    filesPage(const QString &workingFolder, const QString &userLevel)
        : m_workingFolder(workingFolder)
    {
        auto *title = new QLabel(QStringLiteral("<h2>Configuration files</h2><p>The files of this system's config "
                                                "folder on the server (user level %1). Double-click a file to fetch "
                                                "it and see its content.</p>")
                                     .arg(userLevel.toHtmlEscaped()),
                                 this);
        title->setWordWrap(true);
        m_files = new QListWidget(this);
        m_content = new QPlainTextEdit(this);
        m_content->setReadOnly(true);
        m_content->setPlaceholderText(QStringLiteral("Double-click a file on the left"));
        auto *refresh = new QPushButton(QStringLiteral("&Refresh"), this);
        auto *split = new QSplitter(this);
        split->addWidget(m_files);
        split->addWidget(m_content);
        split->setStretchFactor(1, 2);
        auto *layout = new QVBoxLayout(this);
        layout->addWidget(title);
        layout->addWidget(split, 1);
        auto *buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(refresh);
        layout->addLayout(buttons);
        connect(refresh, &QPushButton::clicked, this, [this] { emit command(QStringLiteral("dir"), listedFolder); });
        connect(m_files, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
            m_wanted = item->data(Qt::UserRole).toString();
            emit command(QStringLiteral("downloadFile"), m_wanted);
        });
    }

    void setActive(bool active) override
    {
        if (active && m_files->count() == 0)
            emit command(QStringLiteral("dir"), listedFolder);
    }

    void commsEvent(response &result) override
    {
        if (result.operation == u"dir" && result.status == response::Done) {
            showListing(result.message);
        } else if (result.operation == u"download" && result.path == m_wanted
                   && (result.status == response::Done || result.status == response::DoneReadOnly)) {
            QFile local(m_workingFolder + QLatin1Char('/') + m_wanted);
            m_content->setPlainText(local.open(QIODevice::ReadOnly) ? QString::fromUtf8(local.readAll())
                                                                     : QStringLiteral("(cannot read the local copy)"));
        } else if (result.status == response::Failed) {
            m_content->setPlainText(QStringLiteral("%1 of %2 failed: %3").arg(result.operation, result.path, result.message));
        }
    }

    QString about() override { return QStringLiteral("<p>Lists and shows the configuration files of a system.</p>"); }

private:
    void showListing(const QString &listing)
    {
        m_files->clear();
        QXmlStreamReader reader(listing);
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != u"data")
                continue;
            // Folders have no date; their files are listed with their paths.
            if (reader.attributes().value(QLatin1String("date")).isEmpty())
                continue;
            const QString name = reader.attributes().value(QLatin1String("name")).toString();
            auto *item = new QListWidgetItem(name, m_files);
            item->setData(Qt::UserRole, listedFolder + QLatin1Char('/') + name);
        }
    }

    QString m_workingFolder;
    QString m_wanted;
    QListWidget *m_files;
    QPlainTextEdit *m_content;
};

class demoDescription : public config_plugin_desc
{
public:
    QStringList keys(const QString &, const QString &) override { return {QStringLiteral("Home")}; }
    QPixmap icon(const QString &) override
    {
        QPixmap picture(16, 16);
        picture.fill(Qt::transparent);
        QPainter p(&picture);
        p.setBrush(QColor(70, 110, 170));
        p.setPen(Qt::NoPen);
        p.drawRect(2, 3, 12, 10);
        return picture;
    }
    config_plugin_base *create(const QString &workingFolder, const QString &, const QString &userLevel) override
    {
        return new filesPage(workingFolder, userLevel);
    }
};

} // namespace

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new demoDescription;
}

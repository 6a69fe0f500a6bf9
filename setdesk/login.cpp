#include "login.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

const QString lastUserKey = QStringLiteral("QX_ConfigEdit/LastUser");
const QString lastPasswordKey = QStringLiteral("QX_ConfigEdit/LastPassword");

// The password is kept as plain text, so the settings file is made readable
// by this user only, before the password goes in. Rewrites of the file keep
// its permissions.
void keepPrivate(const QString &path)
{
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    QFile file(path);
    if (file.exists()) {
        file.setPermissions(ownerOnly);
    } else {
        QDir().mkpath(QFileInfo(path).absolutePath());
        file.open(QIODevice::WriteOnly, ownerOnly);
    }
}

} // namespace

login::login(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    const QSettings settings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
    editUser->setText(settings.value(lastUserKey).toString());
    editPassword->setText(settings.value(lastPasswordKey).toString());
}

QString login::userName() const
{
    return editUser->text();
}

QString login::password() const
{
    return editPassword->text();
}

void login::accept()
{
    {
        QSettings settings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
        keepPrivate(settings.fileName());
        settings.setValue(lastUserKey, userName());
        settings.setValue(lastPasswordKey, password());
    }
    QDialog::accept();
}

#include "editorOptions.h"

editorOptions::editorOptions(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        const QString option = argument.toUpper();
        if (option == QLatin1String("-LOCAL"))
            m_local = true;
        else if (option == QLatin1String("-DEBUG"))
            m_filter = debugBuild;
        else if (option == QLatin1String("-RELEASE"))
            m_filter = releaseBuild;
        else if (argument.startsWith(QLatin1Char('-')))
            m_errors << QStringLiteral("Unrecognized option '%1'.").arg(argument);
        // Anything else is no option of the editor's.
    }
}

QString editorOptions::errorTitle()
{
    return QStringLiteral("Configuration Editor Error");
}

#pragma once

#include <QStringList>

// The editor's command-line options: "-LOCAL", "-DEBUG", "-RELEASE", in any
// case. Unknown options are collected as error texts for the caller to show;
// they do not stop the editor.
class editorOptions
{
public:
    // Which plugin builds are loaded.
    enum buildFilter {
        anyBuild = 0,
        debugBuild = 1,   // "-DEBUG"
        releaseBuild = 2, // "-RELEASE"
    };

    editorOptions() = default;
    // `arguments` are those after the program name.
    explicit editorOptions(const QStringList &arguments);

    // Plugins come from the installed system folder, not the downloaded copy.
    bool local() const { return m_local; }
    // The last of "-DEBUG" and "-RELEASE" given; anyBuild without either.
    int filter() const { return m_filter; }
    // One "Unrecognized option '...'." text per unknown option, in order.
    QStringList errors() const { return m_errors; }

    // The title of the boxes that show errors().
    static QString errorTitle();

private:
    bool m_local = false;
    int m_filter = anyBuild;
    QStringList m_errors;
};

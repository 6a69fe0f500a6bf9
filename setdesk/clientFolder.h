#pragma once

#include <QString>

// The editor's local working folder (clientDir): the local copies of the
// systems, their lock lists and download lists live below it.
namespace clientFolder {

// $TEMP/Tarnwell/ConfigurationClient when TEMP is set, else the same two
// folders below the user's own cache folder; empty when neither exists.
QString path();

// Makes path() return `folder` (tests); an empty folder restores the default.
void setOverride(const QString &folder);

} // namespace clientFolder

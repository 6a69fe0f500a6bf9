#pragma once

#include <QPixmap>

// Pictures drawn in code, so that the program needs no image files.

// The window icon: 30x30, four colours.
QPixmap keepyardWindowIcon();
// The About box logo: 112x52.
QPixmap keepyardAboutLogo();

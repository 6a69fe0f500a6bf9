#pragma once

#include <QIcon>

// The two pictures of the server list, drawn here so that the editor needs
// no image files: a server found on the network, and one entered by hand.
QIcon automaticServerIcon();
QIcon manualServerIcon();

#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon, drawn at the sizes the window frame, the task bar and the tray ask for:
// a green sheet of paper with a red refusal mark under a magnifying glass.
QIcon QuorvaneIcon();

// The same drawing at one size; the package's icon files are rendered from it.
QPixmap DrawQuorvaneIcon(int size);

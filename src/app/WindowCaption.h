#pragma once

#include <QString>

// The window's caption, which is also the name the desktop shows for the program.
inline QString WindowCaption() {
    return QStringLiteral("Монитор односторонних отказов с госзакупок");
}

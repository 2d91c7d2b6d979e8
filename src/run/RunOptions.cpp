#include "run/RunOptions.h"

#include <QDir>

QString RunOptions::ProgramPath(const QString& name) const {
    return QDir(programDir).filePath(name);
}

QString RunOptions::WorkPath(const QString& name) const {
    return workDir.isEmpty() ? name : QDir(workDir).filePath(name);
}

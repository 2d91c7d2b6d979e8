#include "store/FileLayout.h"

#include <QDir>
#include <QFileInfo>

FileLayout FileLayout::Decide(const QString& programDir, const QString& chosenDir) {
    FileLayout layout;
    if (!chosenDir.isEmpty()) {
        layout.kind_ = Kind::Chosen;
        layout.programDir_ = QDir::cleanPath(QDir(chosenDir).absolutePath());
        layout.workDir_ = layout.programDir_;
    } else if (!QFileInfo(programDir).isWritable() || IsInstalledPrefix(programDir)) {
        layout.kind_ = Kind::Installed;
        layout.programDir_ = UserDataDir();
        layout.workDir_ = layout.programDir_;
    } else {
        layout.programDir_ = programDir;
    }
    return layout;
}

QString FileLayout::UserDataDir() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    // A relative value is to be ignored, as if unset.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return QDir::cleanPath(base + QStringLiteral("/quorvane"));
}

bool FileLayout::IsInstalledPrefix(const QString& programDir) {
    const QDir dir(programDir);
    return dir.dirName() == QStringLiteral("bin") &&
           QFileInfo::exists(
               dir.filePath(QStringLiteral("../share/applications/quorvane.desktop")));
}

bool FileLayout::Prepare(QString* error) const {
    if (kind_ == Kind::Portable || QDir().mkpath(programDir_)) {
        return true;
    }
    *error = QStringLiteral("Не удалось создать папку ") + programDir_;
    return false;
}

QString FileLayout::Describe() const {
    if (kind_ == Kind::Portable) {
        return QStringLiteral("settings.ini, proxy.txt, logs/ и файлы CSV: ") + programDir_ +
               QStringLiteral("\nStartURL.txt и have.txt: текущая папка (") + QDir::currentPath() +
               QStringLiteral(")");
    }
    return QStringLiteral(
               "Все файлы (settings.ini, proxy.txt, StartURL.txt, have.txt, logs/, "
               "файлы CSV): ") +
           programDir_;
}

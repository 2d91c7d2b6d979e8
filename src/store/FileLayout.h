#pragma once

#include <QString>

// Where the program's files live. Portable: settings.ini, proxy.txt, logs and the CSV files
// beside the program, StartURL.txt and have.txt in the current folder. Installed (the program's
// folder is not writable, or it sits in an installed prefix): every file in one per-user folder.
// Chosen (--dir): every file in the folder given.
class FileLayout {
public:
    enum class Kind { Portable, Installed, Chosen };

    // `programDir` is the folder the program runs from; `chosenDir` the folder given with --dir,
    // empty when none was given.
    static FileLayout Decide(const QString& programDir, const QString& chosenDir = QString());

    // $XDG_DATA_HOME/quorvane, or ~/.local/share/quorvane without it.
    static QString UserDataDir();
    // A folder named bin whose parent holds the program's desktop entry: an installed prefix
    // such as /usr, which root can write to like any other folder.
    static bool IsInstalledPrefix(const QString& programDir);

    Kind kind() const { return kind_; }
    // settings.ini, proxy.txt, logs and the CSV files.
    QString programDir() const { return programDir_; }
    // StartURL.txt and have.txt; empty means the current folder.
    QString workDir() const { return workDir_; }

    // Creates the folder of an installed or chosen layout. False (with the reason) when it
    // cannot be created.
    bool Prepare(QString* error) const;

    // One line per folder, saying which files it holds, for the help text.
    QString Describe() const;

private:
    Kind kind_ = Kind::Portable;
    QString programDir_;
    QString workDir_;
};

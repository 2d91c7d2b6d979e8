#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>

class FileLayout;

// The program's options. Without --headless only --dir, --help and --version apply (the window);
// with it the window's controls become options, each with the window's default.
struct CommandLine {
    bool headless = false;
    bool once = false;
    bool help = false;
    bool version = false;
    // Contract dates; a null date takes the window's default afresh at every run start.
    QDate contractFrom, contractTo;
    // Refusal dates; the filter is on when either is set, and a null one is no bound.
    QDate refusalFrom, refusalTo;
    std::optional<int> threads;  // unset: "Limit" from settings.ini
    std::optional<bool> proxy;   // unset: "Proxy" from settings.ini
    QString dir;                 // --dir; empty: the layout decides

    bool refusalFilter() const { return refusalFrom.isValid() || refusalTo.isValid(); }

    // Reads the arguments after the program's name. False with one line saying what is wrong.
    static bool Parse(const QStringList& args, CommandLine* out, QString* error);
    // Whether the arguments ask for a run without the window (or only for help), so that no
    // display may be needed.
    static bool WantsConsole(const QStringList& args);
    // The options, and the folders `layout` puts the files in.
    static QString HelpText(const FileLayout& layout);
    // "quorvane <version>" and a line end.
    static QString VersionText();
};

#pragma once

#include <QFile>
#include <QString>

// A run's CSV file: made under the first free name with its header, then one line per row, each
// on disk before the call that wrote it returns.
class CsvFile {
public:
    // The file will be "<stem>.csv" in `folder`, or "<stem> (2).csv", … when the name is taken.
    CsvFile(QString folder, QString stem);
    ~CsvFile();

    // Creates the file holding the byte-order mark and the `header` line. Throws RunError when
    // the file cannot be created or its header cannot be written; no file is left then.
    void Create(const QString& header);

    // Appends one line (given without its line end). Throws RunError when it cannot be written;
    // the file then holds the lines before it and no part of this one.
    void Append(const QString& line);

    // Cuts the file at `path` back to `offset` where what follows is part of a line without its
    // line end, left by a run cut short while writing it (by a power cut: the system had taken
    // the write but not all of it reached the disk). Whole lines are never cut. True when it cut.
    static bool CutTornLastLine(const QString& path, qint64 offset);

    // Closes the file and deletes it unless `keep`. A second close does nothing.
    void Close(bool keep);

    // The path of the file, or of the last name tried when it could not be created.
    QString Path() const { return path_; }
    QString FileName() const;
    // Where the next line will begin.
    qint64 Size() const { return file_.size(); }

private:
    QString Candidate(int copy) const;
    // Creates the file with its header under the first free name; false where the file system
    // cannot make a file without a name first.
    bool CreateWithHeader(const QByteArray& header);
    void CreateThenWriteHeader(const QByteArray& header);
    void WriteLine(const QByteArray& line);

    QString folder_;
    QString stem_;
    QFile file_;
    QString path_;
    bool closed_ = false;
};

// Where the readings of `frequency-tallyo read` go, and the progress line it
// shows on a terminal.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <chrono>
#include <functional>

namespace tallyo::cli {

// ISO 8601 with milliseconds: local time with the UTC offset
// ("2026-03-14T15:09:26.535+01:00"), or UTC with a Z ("...T14:09:26.535Z").
QString isoTimestamp(const QDateTime &time);

// The readings, one a line, each line in one write as soon as it is taken:
// on standard output (the reading as received without its line end, control
// characters escaped; with `timestamps` a CSV line, the time first), or in
// CSV files (see ReadingFile). A failed write ends the output; problem()
// says why.
class ReadingOutput {
public:
    struct Options {
        bool timestamps = false; // standard output: the time first
        bool utc = false; // times in UTC instead of local time
        QString pattern; // a file name, perhaps with %Y %m %d %H %M %S; "" for standard output
    };
    using Tell = std::function<void(const QString &text)>;
    // Checks the first file (status 2 when it cannot be used: problem()).
    ReadingOutput(const Options &options, Tell tell);
    ~ReadingOutput();

    QString problem() const { return m_problem; }
    // Standard output closed by its reader (`read | head -3`): no failure.
    bool readerGone() const { return m_readerGone; }

    // False when the line could not be written; problem() says why.
    bool write(const QDateTime &time, const QString &reading);
    // A row marking the line lost at `time`: the time and an empty reading.
    bool writeGap(const QDateTime &time);
    // The line a failed write could not place, for the user to keep.
    QByteArray lastLine() const { return m_lastLine; }

    // A file made by this run that got no reading is removed again.
    void removeIfUnused();

private:
    bool writeLine(const QDateTime &time, const QByteArray &fileField, const QByteArray &screenText);
    bool useFileFor(const QDateTime &time);
    bool openFile(const QString &path);
    void closeFile();

    Options m_options;
    Tell m_tell;
    QString m_path; // the file written now
    int m_fd = -1;
    int m_columns = 3; // the file's header decides: 2 for files of earlier versions
    bool m_created = false;
    qint64 m_writtenHere = 0; // lines this run wrote to m_path
    bool m_readerGone = false;
    QByteArray m_lastLine;
    QString m_problem;
};

// The file name a pattern gives for `time` ("bench-%Y-%m-%d.csv" ->
// "bench-2026-12-07.csv"); "" for a pattern with a % it does not know.
QString expandedName(const QString &pattern, const QDateTime &time);

// One line on standard error, rewritten in place, while readings are taken:
// how many, how fast, for how long, or how long the line has been down.
// Only when standard error is a terminal.
class ProgressLine {
public:
    ProgressLine();
    // After each reading; redraws a few times a second at most.
    void update(qint64 taken, bool force = false);
    // While the line is down.
    void waiting(qint64 taken, std::chrono::milliseconds down);
    // Erases the line before other text goes to the terminal.
    void clear();
    // Erases it before a reading goes to standard output on the same terminal.
    void clearForOutput()
    {
        if (m_stdoutToo)
            clear();
    }
    // Leaves the last state on screen and ends the line.
    void finish(qint64 taken);

private:
    void draw(const QString &text);

    bool m_enabled;
    bool m_drawn = false;
    bool m_stdoutToo;
    QElapsedTimer m_started;
    qint64 m_firstMs = -1; // when the first reading landed
    qint64 m_lastReadingMs = -1;
    qint64 m_lastDrawMs = -1;
};

// A message on standard error, on a line of its own.
void tell(ProgressLine *progress, const QString &text);

} // namespace tallyo::cli

// Where the readings of `frequency-tallyo read` go, and the progress line it
// shows on a terminal.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

namespace tallyo::cli {

// ISO 8601 local time with milliseconds and the UTC offset:
// "2026-03-14T15:09:26.535+01:00".
QString isoTimestamp(const QDateTime &time);

// The readings, one a line: on standard output (the reading as received
// without its line end, the time first with `timestamps`), or in a CSV file
// (header "time,reading"; the reading quoted where needed and made inert for
// spreadsheets). Every line goes out in one write as soon as it is taken, so
// a killed process loses at most the line being written.
class ReadingOutput {
public:
    // The first line of a reading file.
    static constexpr char kHeader[] = "time,reading";

    // Standard output.
    explicit ReadingOutput(bool timestamps);
    // A CSV file. An existing file is appended to when its first line is the
    // header (or it is empty) and refused otherwise; problem() says why.
    explicit ReadingOutput(const QString &path);

    // Why the file cannot be used ("" when it can).
    QString problem() const { return m_problem; }

    // False when the line could not be written; problem() says why.
    bool write(const QDateTime &time, const QString &reading);
    int written() const { return m_written; }

    // A file made by this run that got no reading is removed again.
    void removeIfUnused();

private:
    bool m_timestamps = false;
    QFile m_file;
    bool m_toFile = false;
    bool m_created = false;
    int m_written = 0;
    QString m_problem;
};

// One line on standard error, rewritten in place, while readings are taken:
// how many, how fast, for how long. Only when standard error is a terminal.
class ProgressLine {
public:
    ProgressLine();
    bool shown() const { return m_enabled; }
    // After each reading; redraws a few times a second at most.
    void update(qint64 taken, bool force = false);
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
    bool m_enabled;
    bool m_drawn = false;
    bool m_stdoutToo;
    QElapsedTimer m_started;
    qint64 m_lastDrawMs = -1;
};

// A message on standard error, on a line of its own.
void tell(ProgressLine *progress, const QString &text);

} // namespace tallyo::cli

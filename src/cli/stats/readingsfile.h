// The readings of one run, read from the files `read --output` writes
// ("time,reading", local time with its UTC offset or UTC with "Z", gap rows
// with the time and no reading, "#" comments, daily files given in order) or
// from a plain column of readings, one a line. Files are streamed: only the
// numbers are kept.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyo::stats {

// "2026-03-14T15:09:26.535+01:00", "2026-03-14T20:01:37.125Z": seconds since
// 1970-01-01 UTC. Nothing for anything else.
std::optional<double> parseTimestamp(std::string_view text);

// A line that held no reading the program could read, where it is.
struct Unreadable {
    QString where; // "bench.csv:17"
    QString text;
};

struct ReadingRun {
    bool timed = false; // time-stamped files, not a column
    std::vector<double> values; // in the base unit (Hz, s, RPM or none)
    std::vector<double> times; // seconds after the first reading
    std::string unit; // the base unit
    std::string shownUnit; // the first reading's unit, prefix and all ("MHz")
    double scale = 1; // of that prefix
    double spacing = 1; // seconds from one reading to the next
    bool spacingGiven = false; // from --tau rather than the times
    // Where a new stretch of readings starts: after a gap row, a reading that
    // could not be read, or a step in time longer than one and a half spacings
    // (or not forward). No deviation term spans one.
    std::vector<std::size_t> splits;
    double gapSeconds = 0; // the time the gaps left without readings
    QString firstTime, lastTime; // as written in the file
    qint64 unreadableCount = 0;
    std::vector<Unreadable> unreadable; // the first few
};

class ReadingsReader {
public:
    // `spacing`: --tau, the seconds between readings; from the time stamps
    // when not given (one second for a column).
    explicit ReadingsReader(std::optional<double> spacing = std::nullopt);

    // Reads one file, after the ones before. False when it cannot be used:
    // problem() says why, naming the file and line.
    bool read(const QString &path);
    // After the last file: false when the readings do not make a run.
    bool finish();

    const ReadingRun &run() const { return m_run; }
    QString problem() const { return m_problem; }

    static constexpr std::size_t kUnreadableShown = 5;

private:
    enum class Kind {
        Unknown,
        Timed,
        Column
    };
    bool line(std::string_view text);
    bool timedLine(std::string_view text);
    bool columnLine(std::string_view text);
    bool reading(std::string_view text, double time, std::string_view timeText);
    void unreadable(std::string_view text);
    bool fail(const QString &what);
    QString here() const;

    ReadingRun m_run;
    std::optional<double> m_givenSpacing;
    QString m_problem;
    Kind m_kind = Kind::Unknown; // of the run, from its first file
    Kind m_fileKind = Kind::Unknown;
    QString m_path;
    qint64 m_lineNumber = 0;
    qint64 m_fileReadings = 0;
    bool m_fileHasLines = false;
    bool m_breakPending = false;
    std::vector<std::size_t> m_marked; // splits the files mark (gap rows, unreadable lines)
    double m_startTime = 0; // of the first reading, seconds since 1970
    double m_lastTime = 0;
    qint64 m_slot = 0; // a column's line count
    QString m_unitWhere; // where the first reading is
    std::string m_lastTimeText;
};

} // namespace tallyo::stats

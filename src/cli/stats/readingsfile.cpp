#include "readingsfile.h"

#include "readingvalue.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>

namespace tallyo::stats {

namespace {

constexpr std::string_view kHeader = "time,reading";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A step in time longer than this many spacings is a gap.
constexpr double kGapSpacings = 1.5;

bool digitsAt(std::string_view s, std::size_t pos, std::size_t count, int &out)
{
    if (pos + count > s.size())
        return false;
    out = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long daysFromCivil(int year, int month, int day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const int yearOfEra = year - int(era * 400);
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isComment(std::string_view text)
{
    return !text.empty() && text.front() == '#';
}

// An RFC 4180 field's text: "a ""b""" -> a "b".
std::string unquoted(std::string_view field)
{
    if (field.size() < 2 || field.front() != '"' || field.back() != '"')
        return std::string(field);
    std::string text;
    field = field.substr(1, field.size() - 2);
    for (std::size_t i = 0; i < field.size(); ++i) {
        text += field[i];
        if (field[i] == '"' && i + 1 < field.size() && field[i + 1] == '"')
            ++i;
    }
    return text;
}

QString unitName(std::string_view unit)
{
    return unit.empty() ? QStringLiteral("no unit (a ratio or a count)")
                        : QString::fromUtf8(unit.data(), qsizetype(unit.size()));
}

} // namespace

std::optional<double> parseTimestamp(std::string_view s)
{
    int year, month, day, hour, minute, second;
    if (!digitsAt(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digitsAt(s, 5, 2, month) || s[7] != '-'
        || !digitsAt(s, 8, 2, day) || (s[10] != 'T' && s[10] != ' ') || !digitsAt(s, 11, 2, hour) || s[13] != ':'
        || !digitsAt(s, 14, 2, minute) || s[16] != ':' || !digitsAt(s, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::size_t pos = 19;
    double fraction = 0;
    if (pos < s.size() && s[pos] == '.') {
        double unit = 0.1;
        const std::size_t digitsStart = ++pos;
        for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos, unit /= 10)
            fraction += (s[pos] - '0') * unit;
        if (pos == digitsStart)
            return std::nullopt;
    }
    const double local =
        double(daysFromCivil(year, month, day)) * 86400 + hour * 3600 + minute * 60 + second + fraction;
    const std::string_view zone = s.substr(pos);
    if (zone == "Z")
        return local;
    if (zone.empty()) {
        // Local time without its offset: the machine's offset at that hour,
        // looked up once an hour of readings.
        thread_local long long cachedHour = -1;
        thread_local double cachedOffset = 0;
        const long long hourKey = daysFromCivil(year, month, day) * 24 + hour;
        if (hourKey != cachedHour) {
            const QDateTime at(QDate(year, month, day), QTime(hour, 0), Qt::LocalTime);
            if (!at.isValid())
                return std::nullopt;
            cachedHour = hourKey;
            cachedOffset = at.offsetFromUtc();
        }
        return local - cachedOffset;
    }
    int offsetHours, offsetMinutes;
    if ((zone[0] != '+' && zone[0] != '-') || !digitsAt(zone, 1, 2, offsetHours))
        return std::nullopt;
    if (zone.size() == 6 && zone[3] == ':' && digitsAt(zone, 4, 2, offsetMinutes)) {
    } else if (zone.size() == 5 && digitsAt(zone, 3, 2, offsetMinutes)) {
    } else {
        return std::nullopt;
    }
    const double offset = (offsetHours * 3600 + offsetMinutes * 60) * (zone[0] == '-' ? -1 : 1);
    return local - offset;
}

ReadingsReader::ReadingsReader(std::optional<double> spacing) : m_givenSpacing(spacing)
{}

QString ReadingsReader::here() const
{
    return QStringLiteral("%1:%2").arg(m_path).arg(m_lineNumber);
}

bool ReadingsReader::fail(const QString &what)
{
    m_problem = what;
    return false;
}

void ReadingsReader::unreadable(std::string_view text)
{
    ++m_run.unreadableCount;
    if (m_run.unreadable.size() < kUnreadableShown)
        m_run.unreadable.push_back({here(), QString::fromUtf8(text.data(), qsizetype(text.size()))});
    m_breakPending = true;
}

bool ReadingsReader::reading(std::string_view text, double time, std::string_view timeText)
{
    const auto value = parseReading(text);
    if (!value) {
        unreadable(text);
        return true;
    }
    if (m_run.values.empty()) {
        m_run.unit = std::string(value->unit);
        m_run.shownUnit = std::string(value->shownUnit);
        m_run.scale = value->scale;
        m_unitWhere = here();
        m_startTime = time;
        m_run.firstTime = QString::fromLatin1(timeText.data(), qsizetype(timeText.size()));
    } else if (value->unit != m_run.unit) {
        return fail(QStringLiteral("%1: the reading \"%2\" is in %3, the readings before it in %4 (the first at %5). "
                                   "Give the files of one measurement at a time.")
                        .arg(here(), QString::fromUtf8(text.data(), qsizetype(text.size())), unitName(value->unit),
                             unitName(m_run.unit), m_unitWhere));
    } else if (m_fileReadings == 0 && m_kind == Kind::Timed && time < m_lastTime) {
        return fail(QStringLiteral("%1: this file starts before the files given before it end. "
                                   "Give the files in the order they were written.")
                        .arg(here()));
    }
    if (m_breakPending && !m_run.values.empty())
        m_marked.push_back(m_run.values.size());
    m_breakPending = false;
    m_run.values.push_back(value->value);
    m_run.times.push_back(time - m_startTime);
    m_lastTime = time;
    m_lastTimeText.assign(timeText);
    ++m_fileReadings;
    return true;
}

bool ReadingsReader::timedLine(std::string_view text)
{
    const std::size_t comma = text.find(',');
    const auto time = comma == std::string_view::npos ? std::nullopt : parseTimestamp(trimmed(text.substr(0, comma)));
    if (!time) {
        unreadable(text);
        return true;
    }
    // The reading is the second field; fields after it (none today) are passed over.
    const std::string_view rest = text.substr(comma + 1);
    std::size_t end = rest.find(',');
    if (!rest.empty() && rest.front() == '"') {
        for (end = 1; end < rest.size(); ++end) {
            if (rest[end] == '"' && end + 1 < rest.size() && rest[end + 1] == '"')
                ++end;
            else if (rest[end] == '"')
                break;
        }
        end = std::min(end + 1, rest.size());
    }
    const std::string field = unquoted(trimmed(rest.substr(0, end)));
    if (trimmed(field).empty()) {
        // A gap row: the time the line was lost, and no reading.
        m_breakPending = true;
        return true;
    }
    return reading(field, *time, trimmed(text.substr(0, comma)));
}

bool ReadingsReader::columnLine(std::string_view text)
{
    const double time = double(m_slot++) * m_run.spacing;
    if (text.empty()) {
        m_breakPending = true; // an empty cell: no reading in this place
        return true;
    }
    return reading(text, time, {});
}

bool ReadingsReader::line(std::string_view text)
{
    text = trimmed(text);
    if (isComment(text))
        return true;
    if (m_fileKind == Kind::Unknown) {
        if (text.empty())
            return true;
        m_fileHasLines = true;
        const bool header =
            text.substr(0, kHeader.size()) == kHeader && (text.size() == kHeader.size() || text[kHeader.size()] == ',');
        const Kind kind = header ? Kind::Timed : parseReading(text) ? Kind::Column : Kind::Unknown;
        if (kind == Kind::Unknown)
            return fail(QStringLiteral("%1: %2 is not a file of readings: its first line is neither \"%3\" "
                                       "(a file of read --output) nor a reading (a column of readings).")
                            .arg(here(), m_path, QLatin1String(kHeader.data(), qsizetype(kHeader.size()))));
        if (m_kind != Kind::Unknown && kind != m_kind)
            return fail(
                QStringLiteral("%1: a column of readings and files with time stamps cannot make one run.").arg(here()));
        m_kind = m_fileKind = kind;
        m_run.timed = kind == Kind::Timed;
        if (kind == Kind::Timed)
            return true;
    }
    if (m_fileKind == Kind::Timed)
        return text.empty() || timedLine(text); // a blank line in a log holds nothing, not even a gap
    return columnLine(text);
}

bool ReadingsReader::read(const QString &path)
{
    m_path = path;
    m_lineNumber = 0;
    m_fileReadings = 0;
    m_fileHasLines = false;
    m_fileKind = Kind::Unknown;
    if (m_kind == Kind::Unknown || m_kind == Kind::Column)
        m_run.spacing = m_givenSpacing.value_or(1.0);
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile())
        return fail(info.exists() ? QStringLiteral("%1: not a file.").arg(path)
                                  : QStringLiteral("%1: no such file.").arg(path));
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: cannot read it: %2.").arg(path, file.errorString()));

    // Lines out of blocks; a quoted field that holds a line break joins lines.
    std::string rest;
    std::string record;
    qint64 recordLine = 0;
    QByteArray block;
    bool atEnd = false;
    while (!atEnd) {
        block = file.read(1 << 20);
        if (block.isEmpty()) {
            if (file.error() != QFileDevice::NoError)
                return fail(QStringLiteral("%1: cannot read it: %2.").arg(path, file.errorString()));
            atEnd = true;
        }
        std::string_view data(block.constData(), std::size_t(block.size()));
        while (!data.empty() || (atEnd && !rest.empty())) {
            std::string_view text;
            const std::size_t end = data.find('\n');
            if (end == std::string_view::npos && !atEnd) {
                rest.append(data);
                break;
            }
            if (end == std::string_view::npos) {
                rest.append(data);
                data = {};
                text = rest;
            } else if (!rest.empty()) {
                rest.append(data.substr(0, end));
                data.remove_prefix(end + 1);
                text = rest;
            } else {
                text = data.substr(0, end);
                data.remove_prefix(end + 1);
            }
            ++m_lineNumber;
            if (m_lineNumber == 1 && text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
                text.remove_prefix(kByteOrderMark.size());
            bool whole = true;
            const std::size_t comma = m_fileKind == Kind::Timed ? text.find(',') : std::string_view::npos;
            if (!record.empty()
                || (comma != std::string_view::npos && comma + 1 < text.size() && text[comma + 1] == '"')) {
                if (record.empty())
                    recordLine = m_lineNumber;
                else
                    record += '\n';
                record.append(text);
                const std::size_t recordComma = record.find(',');
                whole = recordComma == std::string::npos
                    || std::count(record.begin() + recordComma, record.end(), '"') % 2 == 0;
            }
            bool ok = true;
            if (record.empty() && end == std::string_view::npos && m_fileKind == Kind::Timed
                && !trimmed(text).empty()) {
                // The last line has no line end: cut short when it was
                // written (a crash, a full disk), so its reading may be cut too.
                unreadable(text);
            } else if (record.empty()) {
                ok = line(text);
            } else if (whole) {
                const qint64 lineNumber = m_lineNumber;
                m_lineNumber = recordLine;
                ok = line(record);
                m_lineNumber = lineNumber;
                record.clear();
            }
            rest.clear();
            if (!ok)
                return false;
        }
    }
    if (!record.empty()) {
        m_lineNumber = recordLine;
        unreadable(record);
    }
    if (!m_fileHasLines)
        return fail(QStringLiteral("%1:1: the file is empty: there are no readings in it.").arg(path));
    if (m_fileReadings == 0 && m_fileKind == Kind::Timed && m_run.unreadableCount == 0)
        return fail(QStringLiteral("%1:%2: there are no readings after the header.").arg(path).arg(m_lineNumber));
    return true;
}

bool ReadingsReader::finish()
{
    ReadingRun &run = m_run;
    const std::size_t count = run.values.size();
    run.lastTime = QString::fromStdString(m_lastTimeText);
    if (count == 0) {
        if (run.unreadableCount > 0)
            return fail(QStringLiteral("%1: no reading could be read (%2 lines like \"%3\").")
                            .arg(run.unreadable.front().where)
                            .arg(run.unreadableCount)
                            .arg(run.unreadable.front().text));
        return fail(QStringLiteral("%1:%2: there are no readings.").arg(m_path).arg(m_lineNumber));
    }
    if (count == 1)
        return fail(QStringLiteral("%1: this is the only reading; statistics need two or more.").arg(m_unitWhere));

    // The spacing: as given, or the median step between neighbouring readings.
    if (run.timed && !m_givenSpacing) {
        std::vector<double> steps;
        steps.reserve(count);
        std::size_t nextMark = 0;
        for (std::size_t i = 1; i < count; ++i) {
            if (nextMark < m_marked.size() && m_marked[nextMark] == i) {
                ++nextMark;
                continue;
            }
            if (run.times[i] > run.times[i - 1])
                steps.push_back(run.times[i] - run.times[i - 1]);
        }
        if (steps.empty())
            return fail(QStringLiteral("%1: the readings' times do not advance; give the spacing with --tau.")
                            .arg(m_unitWhere));
        std::nth_element(steps.begin(), steps.begin() + std::ptrdiff_t(steps.size() / 2), steps.end());
        run.spacing = steps[steps.size() / 2];
    } else {
        run.spacing = m_givenSpacing.value_or(1.0);
    }
    run.spacingGiven = m_givenSpacing.has_value();

    run.splits.clear();
    run.gapSeconds = 0;
    std::size_t nextMark = 0;
    for (std::size_t i = 1; i < count; ++i) {
        const double step = run.times[i] - run.times[i - 1];
        const bool marked = nextMark < m_marked.size() && m_marked[nextMark] == i;
        if (marked)
            ++nextMark;
        if (marked || step <= 0 || step > kGapSpacings * run.spacing) {
            run.splits.push_back(i);
            run.gapSeconds += std::max(0.0, step - run.spacing);
        }
    }
    return true;
}

} // namespace tallyo::stats

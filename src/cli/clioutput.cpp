#include "clioutput.h"

#include "readingtext.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#ifdef Q_OS_WIN
#include <io.h>
#include <sys/stat.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tallyo::cli {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// The header of the files this version writes, and of those earlier ones wrote.
constexpr char kHeader[] = "time,reading,sheet_time";
constexpr char kEarlierHeader[] = "time,reading";

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

#ifdef Q_OS_WIN
qint64 seekEnd(int fd)
{
    return _lseeki64(fd, 0, SEEK_END);
}
long long writeSome(int fd, const char *bytes, size_t size)
{
    return _write(fd, bytes, unsigned(size));
}
void truncateTo(int fd, qint64 size)
{
    _chsize_s(fd, size);
}
void closeFd(int fd)
{
    _close(fd);
}
#else
qint64 seekEnd(int fd)
{
    return ::lseek(fd, 0, SEEK_END);
}
long long writeSome(int fd, const char *bytes, size_t size)
{
    return ::write(fd, bytes, size);
}
void truncateTo(int fd, qint64 size)
{
    [[maybe_unused]] const int ignored = ::ftruncate(fd, off_t(size));
}
void closeFd(int fd)
{
    ::close(fd);
}
#endif

int openForAppend(const QString &path)
{
#ifdef Q_OS_WIN
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
#else
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
#endif
}

// Writes all of `bytes` at the file's end; on failure cuts whatever part of
// them landed and returns the system's error number (0: written).
int appendWhole(int fd, const QByteArray &bytes)
{
    const qint64 before = seekEnd(fd);
    qint64 done = 0;
    while (done < bytes.size()) {
        const auto n = writeSome(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            if (before >= 0)
                truncateTo(fd, before);
            return error;
        }
        done += n;
    }
    return 0;
}

// The reading's bytes (one a character, as the link took them) as one line
// of UTF-8 text: without its line end, control characters escaped.
std::string oneLine(const QString &reading)
{
    const QByteArray bytes = reading.toLatin1();
    return reading::escapedControls(
        reading::asUtf8(reading::withoutLineEnd(std::string_view(bytes.constData(), size_t(bytes.size())))));
}

} // namespace

QString isoTimestamp(const QDateTime &time)
{
    if (time.timeSpec() == Qt::UTC)
        return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QLatin1Char('Z');
    const int offset = time.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString expandedName(const QString &pattern, const QDateTime &time)
{
    QString name;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != QLatin1Char('%')) {
            name += pattern[i];
            continue;
        }
        const QChar code = i + 1 < pattern.size() ? pattern[++i] : QChar();
        static const std::pair<char, const char *> kFields[] = {{'Y', "yyyy"}, {'m', "MM"}, {'d', "dd"},
                                                                {'H', "HH"},   {'M', "mm"}, {'S', "ss"}};
        bool known = code == QLatin1Char('%');
        if (known)
            name += code;
        for (const auto &[letter, format] : kFields) {
            if (code == QLatin1Char(letter)) {
                name += time.toString(QLatin1String(format));
                known = true;
            }
        }
        if (!known)
            return {};
    }
    return name;
}

ReadingOutput::ReadingOutput(const Options &options, Tell tell) : m_options(options), m_tell(std::move(tell))
{
    if (!m_options.pattern.isEmpty())
        useFileFor(m_options.utc ? QDateTime::currentDateTimeUtc() : QDateTime::currentDateTime());
}

ReadingOutput::~ReadingOutput()
{
    closeFile();
}

void ReadingOutput::closeFile()
{
    if (m_fd >= 0)
        closeFd(m_fd);
    m_fd = -1;
}

bool ReadingOutput::useFileFor(const QDateTime &time)
{
    const QString path = expandedName(m_options.pattern, time);
    if (path == m_path && m_fd >= 0)
        return true;
    closeFile();
    m_path = path;
    m_created = false;
    m_writtenHere = 0;
    return openFile(path);
}

bool ReadingOutput::openFile(const QString &path)
{
    QByteArray start;
    QFile existing(path);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            m_problem = QStringLiteral("cannot read %1: %2.").arg(path, existing.errorString());
            return false;
        }
        QByteArray first = existing.readLine(256);
        if (first.startsWith(kByteOrderMark))
            first.remove(0, 3);
        const std::string_view header =
            reading::withoutLineEnd(std::string_view(first.constData(), size_t(first.size())));
        if (existing.size() == 0) {
            start = QByteArray(kHeader) + '\n';
            m_columns = 3;
        } else if (header == kHeader || header == kEarlierHeader) {
            m_columns = header == kHeader ? 3 : 2;
        } else {
            m_problem = QStringLiteral("%1 exists and is not a file of readings (its first line is not \"%2\"); "
                                       "it is left as it is. Name a new file, or one this command wrote.")
                            .arg(path, QLatin1String(kHeader));
            return false;
        }
        // A line cut short (a crash, a full disk under an earlier version) is
        // cut away: a cut value must never stay looking like a reading.
        const QByteArray all = existing.size() > 0 ? existing.readAll() : QByteArray();
        const qint64 tailStart = existing.size() - all.size();
        if (!all.isEmpty() && !all.endsWith('\n')) {
            const qsizetype lastEnd = all.lastIndexOf('\n');
            if (lastEnd < 0) {
                start = "\n"; // the header alone, without its line end
            } else {
                const QByteArray cut = all.mid(lastEnd + 1);
                existing.close();
                if (!existing.resize(tailStart + lastEnd + 1)) {
                    m_problem =
                        QStringLiteral("cannot cut the partial last line of %1: %2.").arg(path, existing.errorString());
                    return false;
                }
                m_tell(QStringLiteral("%1 ended in a partial line (\"%2\"), left by a run that did not end "
                                      "cleanly; it was cut away.")
                           .arg(path,
                                QString::fromStdString(reading::escapedControls(
                                    reading::asUtf8(std::string_view(cut.constData(), size_t(cut.size())))))));
            }
        }
    } else {
        m_created = true;
        m_columns = 3;
#ifdef Q_OS_WIN
        start = kByteOrderMark;
#endif
        start += QByteArray(kHeader) + '\n';
    }
    existing.close();
    m_fd = openForAppend(path);
    if (m_fd < 0) {
        m_problem = QStringLiteral("cannot write %1: %2.").arg(path, systemReason(errno));
        m_created = false;
        return false;
    }
    if (!start.isEmpty()) {
        if (const int error = appendWhole(m_fd, start)) {
            m_problem = QStringLiteral("cannot write %1: %2.").arg(path, systemReason(error));
            return false;
        }
    }
    return true;
}

bool ReadingOutput::write(const QDateTime &time, const QString &reading)
{
    const std::string text = oneLine(reading);
    const QByteArray field = QByteArray::fromStdString(reading::csvField(text));
    return writeLine(time, field, m_options.timestamps ? field : QByteArray::fromStdString(text));
}

bool ReadingOutput::writeGap(const QDateTime &time)
{
    if (m_options.pattern.isEmpty() && !m_options.timestamps)
        return true; // plain standard output: readings only
    return writeLine(time, QByteArray(), QByteArray());
}

bool ReadingOutput::writeLine(const QDateTime &when, const QByteArray &fileField, const QByteArray &screenText)
{
    const QDateTime time = m_options.utc ? when.toUTC() : when;
    if (m_options.pattern.isEmpty()) {
        QByteArray line = m_options.timestamps ? isoTimestamp(time).toLatin1() + ',' + screenText : screenText;
        line += '\n';
        m_lastLine = line;
        if (std::fwrite(line.constData(), 1, size_t(line.size()), stdout) == size_t(line.size())
            && std::fflush(stdout) == 0)
            return true;
        const int error = errno;
        if (error == EPIPE)
            m_readerGone = true;
        else
            m_problem = QStringLiteral("cannot write to standard output: %1.").arg(systemReason(error));
        return false;
    }

    QByteArray line = isoTimestamp(time).toLatin1() + ',' + fileField;
    if (m_columns == 3)
        line += ',' + time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1();
    line += '\n';
    m_lastLine = line;
    if (!useFileFor(time))
        return false;
#ifndef Q_OS_WIN
    // Written to a file that is gone from its folder, a line would be lost.
    struct stat onDisk {};
    struct stat open {};
    if (::stat(QFile::encodeName(m_path).constData(), &onDisk) != 0 || ::fstat(m_fd, &open) != 0
        || onDisk.st_ino != open.st_ino || onDisk.st_dev != open.st_dev) {
        m_problem = QStringLiteral("cannot write %1: the file was removed or replaced during the run.").arg(m_path);
        return false;
    }
#endif
    if (const int error = appendWhole(m_fd, line)) {
        m_problem = QStringLiteral("cannot write %1: %2.").arg(m_path, systemReason(error));
        return false;
    }
    ++m_writtenHere;
    return true;
}

void ReadingOutput::removeIfUnused()
{
    if (m_created && m_writtenHere == 0 && m_fd >= 0) {
        closeFile();
        QFile::remove(m_path);
    }
}

ProgressLine::ProgressLine() : m_enabled(isTerminal(stderr)), m_stdoutToo(isTerminal(stdout))
{
    m_started.start();
}

namespace {
QString clockText(qint64 ms)
{
    const qint64 whole = ms / 1000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(whole / 3600)
        .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000 / 100);
}
} // namespace

void ProgressLine::update(qint64 taken, bool force)
{
    if (!m_enabled)
        return;
    const qint64 now = m_started.elapsed();
    if (taken == 1 || m_firstMs < 0)
        m_firstMs = now;
    m_lastReadingMs = now;
    if (!force && m_lastDrawMs >= 0 && now - m_lastDrawMs < 200)
        return;
    // Readings over the time between the first and the last: with an
    // interval, n readings span n - 1 intervals.
    const double span = double(m_lastReadingMs - m_firstMs) / 1000.0;
    const double rate = taken > 1 && span > 0 ? double(taken - 1) / span : 0.0;
    draw(QStringLiteral("%1 %2, %3 a second, %4 elapsed")
             .arg(taken)
             .arg(taken == 1 ? QStringLiteral("reading") : QStringLiteral("readings"))
             .arg(rate, 0, 'f', rate < 10 ? 2 : 1)
             .arg(clockText(now)));
}

void ProgressLine::waiting(qint64 taken, std::chrono::milliseconds down)
{
    if (!m_enabled)
        return;
    draw(QStringLiteral("%1 %2, waiting for the line: down for %3")
             .arg(taken)
             .arg(taken == 1 ? QStringLiteral("reading") : QStringLiteral("readings"))
             .arg(clockText(down.count())));
}

void ProgressLine::draw(const QString &text)
{
    m_lastDrawMs = m_started.elapsed();
    std::fputs((QLatin1Char('\r') + text + QStringLiteral("\x1b[K")).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    m_drawn = true;
}

void ProgressLine::clear()
{
    if (!m_enabled || !m_drawn)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
    m_lastDrawMs = -1;
}

void ProgressLine::finish(qint64 taken)
{
    if (!m_enabled)
        return;
    update(taken, true);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    m_drawn = false;
}

void tell(ProgressLine *progress, const QString &text)
{
    if (progress)
        progress->clear();
    std::fprintf(stderr, "frequency-tallyo: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace tallyo::cli

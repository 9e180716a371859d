#include "clioutput.h"

#include "readingtext.h"

#include <QFileInfo>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace tallyo::cli {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

// Whether an existing file is one of ours: empty, or headed "time,reading".
// Also tells whether its last line is complete.
bool hasReadingHeader(QFile &file, bool &endsWithLineEnd)
{
    endsWithLineEnd = true;
    if (file.size() == 0)
        return true;
    QByteArray first = file.readLine(256);
    if (first.startsWith(kByteOrderMark))
        first.remove(0, 3);
    if (reading::withoutLineEnd(std::string_view(first.constData(), size_t(first.size()))) != ReadingOutput::kHeader)
        return false;
    char last = '\0';
    file.seek(file.size() - 1);
    file.getChar(&last);
    endsWithLineEnd = last == '\n';
    return true;
}

} // namespace

QString isoTimestamp(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

ReadingOutput::ReadingOutput(bool timestamps) : m_timestamps(timestamps) {}

ReadingOutput::ReadingOutput(const QString &path) : m_file(path), m_toFile(true)
{
    const QFileInfo info(path);
    QByteArray start;
    if (info.exists()) {
        bool complete = true;
        if (!m_file.open(QIODevice::ReadOnly)) {
            m_problem = QStringLiteral("cannot read %1: %2.").arg(path, m_file.errorString());
            return;
        }
        if (!hasReadingHeader(m_file, complete)) {
            m_problem = QStringLiteral("%1 exists and is not a file of readings (its first line is not \"%2\"); "
                                       "it is left as it is. Name a new file, or one this command wrote.")
                            .arg(path, QLatin1String(kHeader));
            return;
        }
        if (m_file.size() == 0)
            start = QByteArray(kHeader) + '\n';
        else if (!complete)
            start = "\n"; // a line cut short ends here; new lines start whole
        m_file.close();
    } else {
        m_created = true;
#ifdef Q_OS_WIN
        start = kByteOrderMark;
#endif
        start += QByteArray(kHeader) + '\n';
    }
    // Unbuffered: every line is one write to the system, at once.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_problem = QStringLiteral("cannot write %1: %2.").arg(path, m_file.errorString());
        m_created = false;
        return;
    }
    if (!start.isEmpty() && m_file.write(start) != start.size())
        m_problem = QStringLiteral("cannot write %1: %2.").arg(path, m_file.errorString());
}

bool ReadingOutput::write(const QDateTime &time, const QString &text)
{
    QByteArray line;
    if (m_toFile) {
        const QByteArray utf8 = text.toUtf8();
        line = isoTimestamp(time).toLatin1() + ','
            + QByteArray::fromStdString(reading::csvField(std::string_view(utf8.constData(), size_t(utf8.size()))))
            + '\n';
        if (m_file.write(line) != line.size()) {
            m_problem = QStringLiteral("cannot write %1: %2.").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
    } else {
        // As the counter sent it: one byte a character.
        const QByteArray bytes = text.toLatin1();
        if (m_timestamps)
            line = isoTimestamp(time).toLatin1() + ',';
        line += QByteArray::fromStdString(std::string(reading::withoutLineEnd(
                    std::string_view(bytes.constData(), size_t(bytes.size())))))
            + '\n';
        if (std::fwrite(line.constData(), 1, size_t(line.size()), stdout) != size_t(line.size())
            || std::fflush(stdout) != 0) {
            m_problem = QStringLiteral("cannot write to standard output.");
            return false;
        }
    }
    ++m_written;
    return true;
}

void ReadingOutput::removeIfUnused()
{
    if (m_created && m_written == 0) {
        m_file.close();
        m_file.remove();
    }
}

ProgressLine::ProgressLine() : m_enabled(isTerminal(stderr)), m_stdoutToo(isTerminal(stdout))
{
    m_started.start();
}

void ProgressLine::update(qint64 taken, bool force)
{
    if (!m_enabled)
        return;
    const qint64 now = m_started.elapsed();
    if (!force && m_lastDrawMs >= 0 && now - m_lastDrawMs < 200)
        return;
    m_lastDrawMs = now;
    const double seconds = double(now) / 1000.0;
    const qint64 whole = now / 1000;
    const QString text = QStringLiteral("\r%1 %2, %3 a second, %4:%5:%6.%7 elapsed\x1b[K")
                             .arg(taken)
                             .arg(taken == 1 ? QStringLiteral("reading") : QStringLiteral("readings"))
                             .arg(seconds > 0 ? double(taken) / seconds : 0.0, 0, 'f', 1)
                             .arg(whole / 3600)
                             .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(whole % 60, 2, 10, QLatin1Char('0'))
                             .arg(now % 1000 / 100);
    std::fputs(text.toLocal8Bit().constData(), stderr);
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

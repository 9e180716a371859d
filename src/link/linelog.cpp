#include "linelog.h"

#include <QTime>
#include <cstdio>

namespace tallyo {

LineLog::LineLog()
    : LineLog([](const QString &line) {
          std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
          std::fflush(stderr);
      })
{}

LineLog::LineLog(Sink sink) : m_sink(std::move(sink))
{}

void LineLog::opened(int port, const QString &device, const QString &settings)
{
    write(port, QStringLiteral("opened %1 at %2").arg(device, settings));
}

void LineLog::closed(int port)
{
    write(port, QStringLiteral("closed"));
}

void LineLog::sent(int port, const QByteArray &bytes)
{
    write(port, QStringLiteral("<- ") + quoted(bytes));
}

void LineLog::received(int port, const QByteArray &bytes)
{
    write(port, QStringLiteral("-> ") + quoted(bytes));
}

void LineLog::dropped(int port, const QByteArray &bytes)
{
    write(port, QStringLiteral("-> %1 dropped unread").arg(quoted(bytes)));
}

QString LineLog::quoted(const QByteArray &bytes)
{
    QString text = QStringLiteral("\"");
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '"' || c == '\\')
            text += QStringLiteral("\\%1").arg(QLatin1Char(c));
        else if (byte < 0x20 || byte >= 0x7f)
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(c);
    }
    return text + QLatin1Char('"');
}

void LineLog::write(int port, const QString &what)
{
    m_sink(QStringLiteral("%1 port %2 %3")
               .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")))
               .arg(port)
               .arg(what));
}

QCommandLineOption lineLogOption()
{
    return QCommandLineOption(
        QStringLiteral("log"),
        QStringLiteral("Print every write to the serial line (port 1 <- \"D1\") and every read from it "
                       "(port 1 -> \"...\") on standard error, each with a millisecond time stamp."));
}

} // namespace tallyo

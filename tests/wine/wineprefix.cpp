#include "wineprefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tallyo::wine {

namespace {
constexpr int kBootTimeoutMs = 300'000;
constexpr int kCommandTimeoutMs = 60'000;

QString fromEnvironment(const char *name, const char *fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? QString::fromLatin1(fallback) : value;
}
} // namespace

QString windowsPackage()
{
    return fromEnvironment("TALLYO_WINDOWS_PACKAGE", TALLYO_WINDOWS_PACKAGE);
}

QString windowsBuild()
{
    return fromEnvironment("TALLYO_WINDOWS_BUILD", TALLYO_WINDOWS_BUILD);
}

WinePrefix::WinePrefix()
    : m_wine(fromEnvironment("TALLYO_WINE64", TALLYO_WINE64)),
      m_wineserver(fromEnvironment("TALLYO_WINESERVER", TALLYO_WINESERVER)),
      m_prefix(fromEnvironment("TALLYO_WINE_PREFIX", TALLYO_WINE_PREFIX))
{
}

WinePrefix::~WinePrefix()
{
    stop();
}

QProcessEnvironment WinePrefix::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), m_prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No offers to install Mono or Gecko while the prefix is made.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("QT_PLUGIN_PATH"));
    return env;
}

QString WinePrefix::run(const QString &program, const QStringList &arguments, int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("%1 %2 did not finish").arg(program, arguments.join(QLatin1Char(' ')));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("%1 %2 failed: %3")
            .arg(program, arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
    return {};
}

QString WinePrefix::prepare(int comPort, const QString &device)
{
    if (!QFileInfo::exists(m_prefix + QStringLiteral("/system.reg"))) {
        QDir().mkpath(m_prefix);
        if (QString error = run(m_wine, {QStringLiteral("wineboot"), QStringLiteral("--init")}, kBootTimeoutMs);
            !error.isEmpty())
            return error;
    }
    // The window's fixed layout is drawn for Arial's metrics: Liberation Sans.
    const QString fonts = m_prefix + QStringLiteral("/drive_c/windows/Fonts");
    QDir().mkpath(fonts);
    const QDir liberation(QStringLiteral("/usr/share/fonts/truetype/liberation2"));
    for (const QString &file : liberation.entryList({QStringLiteral("LiberationSans-*.ttf")}))
        QFile::copy(liberation.filePath(file), fonts + QLatin1Char('/') + file);

    const QString port = QStringLiteral("COM%1").arg(comPort);
    if (QString error = run(m_wine,
                            {QStringLiteral("reg"), QStringLiteral("add"), QStringLiteral("HKLM\\Software\\Wine\\Ports"),
                             QStringLiteral("/v"), port, QStringLiteral("/t"), QStringLiteral("REG_SZ"),
                             QStringLiteral("/d"), device, QStringLiteral("/f")},
                            kCommandTimeoutMs);
        !error.isEmpty())
        return error;
    // Wine links the port to the device when its server starts afresh.
    stop();
    return {};
}

void WinePrefix::setUp(QProcess &process, const QString &exe, const QStringList &arguments) const
{
    process.setProcessEnvironment(environment());
    process.setProgram(m_wine);
    process.setArguments(QStringList{exe} + arguments);
}

void WinePrefix::stop()
{
    run(m_wineserver, {QStringLiteral("-k")}, kCommandTimeoutMs);
    run(m_wineserver, {QStringLiteral("-w")}, kCommandTimeoutMs);
}

} // namespace tallyo::wine

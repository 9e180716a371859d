#include "wineprefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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

QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString consoleText(const QByteArray &screen)
{
    QString text = QString::fromUtf8(screen);
    // The console moves the cursor over a blank instead of writing it.
    static const QRegularExpression forward(QStringLiteral("\x1b\\[(\\d*)C"));
    for (auto match = forward.match(text); match.hasMatch(); match = forward.match(text, match.capturedStart()))
        text.replace(match.capturedStart(), match.capturedLength(),
                     QString(qMax(1, match.captured(1).toInt()), QLatin1Char(' ')));
    static const QRegularExpression controls(QStringLiteral("\x1b(\\[[0-9;?]*[A-Za-z]|\\][^\x07]*\x07)"));
    text.remove(controls);
    text.remove(QLatin1Char('\r'));
    return text;
}

WinePrefix::WinePrefix()
    : m_wine(fromEnvironment("TALLYO_WINE64", TALLYO_WINE64)),
      m_wineserver(fromEnvironment("TALLYO_WINESERVER", TALLYO_WINESERVER)),
      m_prefix(fromEnvironment("TALLYO_WINE_PREFIX", TALLYO_WINE_PREFIX))
{}

WinePrefix::~WinePrefix()
{
    stop();
}

QProcessEnvironment WinePrefix::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), m_prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No offers to install Mono or Gecko while the prefix is made, and no
    // menu entries or file types of this prefix on the desktop.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml=;winemenubuilder.exe=d"));
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
    // Wine links the documents folder to the Linux home: what the program
    // saves there stays in the prefix instead.
    if (const QFileInfo folder(documents()); folder.isSymLink()) {
        QFile::remove(folder.filePath());
        QDir().mkpath(folder.filePath());
    }
    // The window's fixed layout is drawn for Arial's metrics: Liberation Sans.
    const QString fonts = m_prefix + QStringLiteral("/drive_c/windows/Fonts");
    QDir().mkpath(fonts);
    const QDir liberation(QStringLiteral("/usr/share/fonts/truetype/liberation2"));
    for (const QString &file : liberation.entryList({QStringLiteral("LiberationSans-*.ttf")}))
        QFile::copy(liberation.filePath(file), fonts + QLatin1Char('/') + file);

    // A text value in wine's registry, made or replaced.
    const auto setValue = [this](const QString &key, const QString &name, const QString &value) {
        return run(m_wine,
                   {QStringLiteral("reg"), QStringLiteral("add"), key, QStringLiteral("/v"), name, QStringLiteral("/t"),
                    QStringLiteral("REG_SZ"), QStringLiteral("/d"), value, QStringLiteral("/f")},
                   kCommandTimeoutMs);
    };
    if (QString error =
            setValue(QStringLiteral("HKLM\\Software\\Wine\\Ports"), QStringLiteral("COM%1").arg(comPort), device);
        !error.isEmpty())
        return error;
    // The tests' X server has no window manager: a managed window would
    // make wine wait 2 s, on every hide, for a withdrawal nobody confirms.
    if (QString error = setValue(QStringLiteral("HKCU\\Software\\Wine\\X11 Driver"), QStringLiteral("Managed"),
                                 QStringLiteral("N"));
        !error.isEmpty())
        return error;
    // Wine links the port to the device when its server starts afresh.
    stop();
    return {};
}

QString WinePrefix::runProgram(const QString &exe, const QStringList &arguments)
{
    return run(m_wine, QStringList{exe} + arguments, kCommandTimeoutMs);
}

void WinePrefix::setUp(QProcess &process, const QString &exe, const QStringList &arguments) const
{
    process.setProcessEnvironment(environment());
    process.setProgram(m_wine);
    process.setArguments(QStringList{exe} + arguments);
}

void WinePrefix::setUpInConsole(QProcess &process, const QString &exe, const QStringList &arguments) const
{
    // script(1) gives wine a terminal, where wine makes its console. Its
    // shell hands the terminal over to wine (exec): a shell left waiting
    // dies of the SIGINT a Ctrl+C sends while the terminal is not in raw
    // mode, and script(1) then reports status 130 whatever the program did.
    QStringList words{QStringLiteral("exec")};
    for (const QString &word : QStringList{m_wine, QStringLiteral(TALLYO_CONSOLE_RUN), exe} + arguments)
        words << QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QLatin1String("'\\''"))
                + QLatin1Char('\'');
    process.setProcessEnvironment(environment());
    process.setProgram(QStringLiteral("script"));
    process.setArguments({QStringLiteral("--quiet"), QStringLiteral("--flush"), QStringLiteral("--return"),
                          QStringLiteral("--command"), words.join(QLatin1Char(' ')), QStringLiteral("/dev/null")});
}

QString WinePrefix::driveC() const
{
    return m_prefix + QStringLiteral("/drive_c");
}

QString WinePrefix::documents() const
{
    const QDir users(driveC() + QStringLiteral("/users"));
    for (const QString &user : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (user != QLatin1String("Public"))
            return users.filePath(user) + QStringLiteral("/Documents");
    }
    return users.filePath(QStringLiteral("Public/Documents"));
}

void WinePrefix::stop()
{
    run(m_wineserver, {QStringLiteral("-k")}, kCommandTimeoutMs);
    run(m_wineserver, {QStringLiteral("-w")}, kCommandTimeoutMs);
}

} // namespace tallyo::wine

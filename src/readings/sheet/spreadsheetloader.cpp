#include "spreadsheetloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace tallyo {

namespace {

#ifdef Q_OS_WIN
constexpr char ModuleFileName[] = "tallyo-excel.dll";
constexpr char ApplicationName[] = "Microsoft Excel";
constexpr char InstallHint[] = "Install Microsoft Excel to record readings into a workbook.";
#else
constexpr char ModuleFileName[] = "libtallyo-calc.so";
constexpr char ApplicationName[] = "LibreOffice Calc";
constexpr char InstallHint[] = "Install LibreOffice Calc (the package libreoffice-calc) to record readings into a workbook.";
#endif

QString programDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
#ifdef Q_OS_LINUX
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
#else
    return QDir::currentPath();
#endif
}

// Where the module may be: beside the program (a build tree, Windows), or in
// lib/frequency-tallyo/ of the prefix the program is installed in. The
// program's directory is its real one, so a bin/ symlink or a moved prefix
// still leads there.
QStringList moduleDirectories()
{
    const QString directory = programDirectory();
    return {directory, QDir::cleanPath(directory + QStringLiteral("/../lib/frequency-tallyo"))};
}

// The module would not load: almost always the application's own libraries are missing.
[[noreturn]] void notInstalled(const std::string &why)
{
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                           std::string(ApplicationName) + " is not installed: " + why + " " + InstallHint);
}

// This program's own module is missing or wrong.
[[noreturn]] void unusable(const std::string &why)
{
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                           std::string(ApplicationName) + " cannot be used: " + why
                               + " Reinstall Frequency Tallyo.");
}

// Loaded modules stay loaded for the life of the process: application
// threads may outlive the objects that started them, and neither UNO nor COM
// likes its libraries unloaded.
QLibrary &loadModule(const std::string &moduleDirectory)
{
    static std::mutex mutex;
    static std::map<QString, std::unique_ptr<QLibrary>> loaded;

    const QStringList directories = moduleDirectory.empty() ? moduleDirectories()
                                                            : QStringList{QString::fromStdString(moduleDirectory)};
    QStringList candidates;
    for (const QString &directory : directories)
        candidates << QDir(directory).absoluteFilePath(QString::fromLatin1(ModuleFileName));
    const auto found = std::find_if(candidates.cbegin(), candidates.cend(),
                                    [](const QString &candidate) { return QFileInfo::exists(candidate); });
    const QString path = found != candidates.cend() ? *found : candidates.first();

    std::lock_guard lock(mutex);
    if (auto it = loaded.find(path); it != loaded.end())
        return *it->second;
    if (!QFileInfo::exists(path))
        unusable("this program's module " + QDir::toNativeSeparators(candidates.join(QStringLiteral(" or "))).toStdString()
                 + " is missing.");

    auto library = std::make_unique<QLibrary>(path);
    library->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!library->load())
        notInstalled(library->errorString().toStdString() + ".");
    const auto abi = reinterpret_cast<SheetModuleAbiFunction>(library->resolve(SheetModuleAbiSymbol));
    if (!abi || abi() != SheetModuleAbi)
        unusable("this program's module " + QDir::toNativeSeparators(path).toStdString()
                 + " belongs to a different version of the program.");
    return *loaded.emplace(path, std::move(library)).first->second;
}

} // namespace

std::string spreadsheetModuleFileName()
{
    return ModuleFileName;
}

void *resolveSpreadsheetModuleSymbol(const std::string &moduleDirectory, const char *symbol)
{
    QLibrary &library = loadModule(moduleDirectory);
    void *address = reinterpret_cast<void *>(library.resolve(symbol));
    if (!address)
        unusable("this program's module " + library.fileName().toStdString() + " lacks " + symbol + ".");
    return address;
}

SpreadsheetFactory makeSpreadsheetFactory(SpreadsheetLoaderOptions options)
{
    return [options = std::move(options)]() -> std::unique_ptr<SpreadsheetApp> {
        const auto create = reinterpret_cast<SheetBackendCreateFunction>(
            resolveSpreadsheetModuleSymbol(options.moduleDirectory, SheetBackendCreateSymbol));
        const SheetBackendOptions backendOptions = options.backend;
        // The backend bounds its own start and calls; the queue's limits are
        // only a backstop behind them.
        QueueSettings queue = options.queue;
        queue.createTimeout = std::max(queue.createTimeout, backendOptions.startTimeout + backendOptions.callTimeout);
        queue.stallTimeout = std::max(queue.stallTimeout, backendOptions.callTimeout + std::chrono::seconds(15));
        return std::make_unique<QueuedSpreadsheet>(
            [create, backendOptions] { return std::unique_ptr<SheetBackend>(create(backendOptions)); }, queue);
    };
}

} // namespace tallyo

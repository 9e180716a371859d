// The real window with each of the six port numbers wired to a simulated
// counter of its own, so the program can be tried with no counter attached.
// Every command a simulated counter receives is printed on standard output;
// with --log, every write and read of the program on standard error.
#include "commandline.h"
#include "countersim.h"
#include "startup.h"
#include "spreadsheetloader.h"

#include <QApplication>
#include <QStringList>
#include <array>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {
std::string printable(const std::string &command)
{
    std::string out;
    for (char c : command) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLYO_VERSION));
    std::shared_ptr<tallyo::LineLog> lineLog;
    if (const std::optional<int> exitCode = tallyo::prepareDemoStart(argc, argv, &lineLog))
        return *exitCode;

    QApplication app(argc, argv);
    tallyo::applyAppearance();

    std::mutex printing;
    std::array<std::unique_ptr<tallyo::sim::CounterSim>, 6> counters;
    QStringList devices;
    for (size_t i = 0; i < counters.size(); ++i) {
        counters[i] = std::make_unique<tallyo::sim::CounterSim>();
        const int port = int(i) + 1;
        counters[i]->setCommandObserver([&printing, port](const std::string &command) {
            std::lock_guard lock(printing);
            std::printf("port %d <- \"%s\"\n", port, printable(command).c_str());
            std::fflush(stdout);
        });
        devices << QString::fromStdString(counters[i]->devicePath());
        std::printf("port %d is a simulated counter on %s\n", port, counters[i]->devicePath().c_str());
    }
    std::fflush(stdout);

    tallyo::Form1Dependencies deps;
    deps.portMap = tallyo::fixedPortMap(devices);
    deps.spreadsheetFactory = tallyo::makeSpreadsheetFactory();
    const int rc = tallyo::runWindow(std::move(deps), std::move(lineLog));
    // Let the counters take in what the program sent last ("R0" on EXIT)
    // before they go: a real line would deliver it.
    for (auto &counter : counters)
        counter->waitForReceivedBytes(counter->received().size() + 1, std::chrono::milliseconds(30));
    for (auto &counter : counters)
        counter->setCommandObserver(nullptr);
    return rc;
}

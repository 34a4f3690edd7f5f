#include "cashsimulator.h"
#include "commandline.h"
#include "exitcodes.h"
#include "output.h"
#include "runcounter.h"
#include "scenario.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

int runClient(const CommandLine &options)
{
    CashSimulator simulator(0);
    simulator.setServer(options.serverAddress, options.serverPort);
    if (!simulator.bind(options.bindAddress, 0))
        return ExitCode::BindFailed;
    static const int codes[] = { ExitCode::Ok, ExitCode::Negative, ExitCode::NoAnswer,
        ExitCode::SendFailed, ExitCode::Unexpected };
    return codes[simulator.send(options.clientStep)];
}

int runChild(const CommandLine &options)
{
    int run = 1;
    if (!options.statePath.isEmpty()) {
        RunCounter counter(options.statePath);
        if (!counter.next(&run)) {
            Output::complain(counter.errorString());
            return ExitCode::Usage;
        }
    }
    Output::setPrefix(QStringLiteral("cashsim run %1: ").arg(run));
    Scenario scenario;
    if (!options.scenarioPath.isEmpty() && !scenario.load(options.scenarioPath)) {
        Output::complain(scenario.errorString());
        return ExitCode::Usage;
    }
    for (const QString &name : options.ignoredOptions)
        Output::say(QStringLiteral("ignoring option %1").arg(name));

    CashSimulator simulator(run);
    simulator.setServer(options.serverAddress, options.serverPort);
    simulator.setMaintenanceAnswer(options.maintenanceAnswer);
    if (!simulator.bind(options.bindAddress, options.cashPort))
        return ExitCode::BindFailed;
    simulator.setTimeLimit(options.timeLimitSeconds);
    simulator.run(scenario.steps(run));
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    CommandLine options;
    if (!options.parse(QCoreApplication::arguments())) {
        Output::complain(options.errorString() + QStringLiteral(" (see cashsim --help)"));
        return ExitCode::Usage;
    }
    if (options.helpRequested) {
        std::fputs(options.helpText().toLocal8Bit().constData(), stdout);
        return ExitCode::Ok;
    }
    return options.client ? runClient(options) : runChild(options);
}

#include "power.h"

#include "app/systemctl.h"

bool rebootComputer()
{
    return runSystemctl({ QStringLiteral("reboot") });
}

bool powerOffComputer()
{
    return runSystemctl({ QStringLiteral("poweroff") });
}

#ifndef POWER_H
#define POWER_H

// Forced, immediate reboot or power-off of the whole machine. True when the system has accepted
// the request; the shutdown then proceeds on its own and ends this process with all others.
// Neither writes to the log.
bool rebootComputer();
bool powerOffComputer();

#endif // POWER_H

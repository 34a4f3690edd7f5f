#ifndef PORTOWNERS_H
#define PORTOWNERS_H

#include <QList>
#include <QString>

#include <memory>

// Asks the system who holds a local UDP port: the owner of every socket of either address family
// bound to it, whatever its local address, since any of them can send datagrams from that port
// (a socket on another local address can still put this one in as its source).
class PortOwners
{
public:
    struct Owner
    {
        // Our own user or the administrator: root; on Windows SYSTEM or an elevated
        // administrator.
        bool trusted = false;
        // The user id on Unix, the process id on Windows.
        qint64 id = 0;
    };

    PortOwners();
    ~PortOwners();

    PortOwners(const PortOwners &) = delete;
    PortOwners &operator=(const PortOwners &) = delete;

    // The owners of the sockets bound to port, none when no socket holds it; false when the
    // system could not be asked, errorString() then says why.
    [[nodiscard]] bool find(quint16 port, QList<Owner> *owners);
    QString errorString() const;

    // The owner as the log names it: "uid 65534 (nobody)", "process 4242 (TILL\clerk)".
    QString describe(const Owner &owner) const;

private:
    struct Private; // the platform's handles
    const std::unique_ptr<Private> d;
};

#endif // PORTOWNERS_H

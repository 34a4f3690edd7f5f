#include "portowners.h"

#include <QByteArray>

// winsock2.h before windows.h, which would bring in the old winsock.h otherwise.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

namespace {

// How often a port that no row shows is looked for before it counts as held by nobody.
constexpr int absenceLooks = 3;

// Closes a handle when it goes out of scope.
struct HandleCloser
{
    HANDLE handle = nullptr;
    ~HandleCloser()
    {
        if (handle)
            CloseHandle(handle);
    }
};

// The access token of a process; false when it cannot be opened (another user's process without
// the right to look at it, or one that has ended).
bool openToken(DWORD pid, HandleCloser *token)
{
    HandleCloser process;
    process.handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    return process.handle && OpenProcessToken(process.handle, TOKEN_QUERY, &token->handle);
}

// One block of token information, empty on failure.
QByteArray tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    QByteArray data(int(size), Qt::Uninitialized);
    if (size == 0 || !GetTokenInformation(token, kind, data.data(), size, &size))
        return QByteArray();
    return data;
}

PSID tokenUser(const QByteArray &information)
{
    return reinterpret_cast<const TOKEN_USER *>(information.constData())->User.Sid;
}

// An elevated administrator: the Administrators group is enabled in the token (a filtered token
// of an administrator holds it for denying only).
bool isElevatedAdministrator(HANDLE token)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        return false;
    const QByteArray information = tokenInformation(token, TokenGroups);
    if (information.isEmpty())
        return false;
    const auto *groups = reinterpret_cast<const TOKEN_GROUPS *>(information.constData());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES &group = groups->Groups[i];
        if ((group.Attributes & SE_GROUP_ENABLED) && EqualSid(group.Sid, administrators))
            return true;
    }
    return false;
}

} // namespace

struct PortOwners::Private
{
    static constexpr int tableAttempts = 8;
    static constexpr int tableSlack = 64 * int(sizeof(MIB_UDP6ROW_OWNER_PID));

    QByteArray ourUser; // TOKEN_USER of this process
    QByteArray ipv4; // the last endpoint tables; only their buffers are reused
    QByteArray ipv6;
    QString error;

    bool trusted(DWORD pid)
    {
        // Process 0 is no program: Windows gives it for endpoints whose owner it does not record,
        // its own among them (and Wine for every endpoint).
        if (pid == 0 || pid == GetCurrentProcessId())
            return true;
        HandleCloser token;
        if (!openToken(pid, &token))
            return false;
        const QByteArray user = tokenInformation(token.handle, TokenUser);
        if (user.isEmpty())
            return false;
        if (ourUser.isEmpty()) {
            HandleCloser ours;
            if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &ours.handle))
                ourUser = tokenInformation(ours.handle, TokenUser);
        }
        return (!ourUser.isEmpty() && EqualSid(tokenUser(user), tokenUser(ourUser)))
            || IsWellKnownSid(tokenUser(user), WinLocalSystemSid)
            || isElevatedAdministrator(token.handle);
    }

    // The whole endpoint table of one family with owning processes, as the system hands it out,
    // into a buffer kept from one question to the next: asked with the room the last answer
    // needed, the system answers in one call instead of one for the size and one for the rows
    // (under Wine each call reads the host's whole socket list). A table that grows between
    // calls is asked for again with room to spare.
    bool table(ULONG family, QByteArray *data)
    {
        DWORD result = ERROR_INSUFFICIENT_BUFFER;
        for (int attempt = 0; attempt < tableAttempts && result == ERROR_INSUFFICIENT_BUFFER;
             ++attempt) {
            DWORD size = DWORD(data->size());
            result = GetExtendedUdpTable(
                size ? data->data() : nullptr, &size, FALSE, family, UDP_TABLE_OWNER_PID, 0);
            if (result == ERROR_INSUFFICIENT_BUFFER)
                data->resize(int(size + size / 4 + tableSlack));
        }
        if (result != NO_ERROR) {
            error = QStringLiteral("GetExtendedUdpTable failed with error %1").arg(result);
            return false;
        }
        return true;
    }

    template <class Table> void collect(const QByteArray &data, quint16 port, QList<Owner> *owners)
    {
        if (data.size() < int(sizeof(DWORD)))
            return;
        const auto *rows = reinterpret_cast<const Table *>(data.constData());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            // The port is kept in network order in the low 16 bits.
            if (ntohs(u_short(rows->table[i].dwLocalPort)) != port)
                continue;
            Owner owner;
            owner.id = rows->table[i].dwOwningPid;
            owner.trusted = trusted(rows->table[i].dwOwningPid);
            owners->append(owner);
        }
    }
};

PortOwners::PortOwners() : d(new Private) { }

PortOwners::~PortOwners() = default;

bool PortOwners::find(quint16 port, QList<Owner> *owners)
{
    // The table need not be a snapshot: Wine puts it together from the host's socket list, read
    // in pieces while other sockets come and go, and can leave out one that stays open all the
    // while. So a port that no row shows is looked for again: a socket that is really gone stays
    // gone, one that was missed turns up.
    owners->clear();
    for (int look = 0; look < absenceLooks && owners->isEmpty(); ++look) {
        if (!d->table(AF_INET, &d->ipv4) || !d->table(AF_INET6, &d->ipv6))
            return false;
        d->collect<MIB_UDPTABLE_OWNER_PID>(d->ipv4, port, owners);
        d->collect<MIB_UDP6TABLE_OWNER_PID>(d->ipv6, port, owners);
    }
    return true;
}

QString PortOwners::errorString() const
{
    return d->error;
}

QString PortOwners::describe(const Owner &owner) const
{
    const QString process = QStringLiteral("process %1").arg(owner.id);
    HandleCloser token;
    if (!openToken(DWORD(owner.id), &token))
        return process;
    const QByteArray user = tokenInformation(token.handle, TokenUser);
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (user.isEmpty()
        || !LookupAccountSidW(
            nullptr, tokenUser(user), name, &nameSize, domain, &domainSize, &use)) {
        return process;
    }
    return QStringLiteral("%1 (%2\\%3)")
        .arg(process, QString::fromWCharArray(domain), QString::fromWCharArray(name));
}

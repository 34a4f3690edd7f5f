#ifndef PROTECTEDFILE_H
#define PROTECTEDFILE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// Reads a small file that nobody but an administrator or this program's own user can change,
// from a directory that nobody else can change either (else they could put another file in its
// place). On Linux the file and the directory must be owned by root or by our user and be
// writable by neither group nor others, and the file must be a regular file, not a link; on
// Windows neither the owner nor any entry of their access lists that grants a right to change
// them may be anyone but Administrators, SYSTEM, TrustedInstaller or our user, and the file must
// not be a link or other reparse point. The file is opened once, checked and read through the
// same handle.
class ProtectedFile
{
    Q_DECLARE_TR_FUNCTIONS(ProtectedFile)

public:
    enum Result {
        Absent, // there is no file of that name (the directory is not looked at)
        Read, // see bytes()
        Unsafe, // someone else could change it; see reason()
        Unreadable, // see reason()
    };

    // A file larger than maxSize is Unreadable.
    ProtectedFile(const QString &directory, const QString &name, qint64 maxSize);

    [[nodiscard]] Result read();

    QString path() const; // the file's absolute path
    QByteArray bytes() const { return content; }
    // Why the file is unsafe or unreadable, naming the file or directory in question.
    QString reason() const { return why; }

private:
    Result fail(Result result, const QString &reason);
    // Each platform's own reading.
    Result readFile();

    const QString directory;
    const QString name;
    const qint64 maxSize;
    QByteArray content;
    QString why;
};

#endif // PROTECTEDFILE_H

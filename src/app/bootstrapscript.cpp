#include "bootstrapscript.h"

#include <QLatin1Char>
#include <QLatin1String>

namespace {
// One shell word that stands for the text exactly, whatever it holds.
QString shellQuoted(QString text)
{
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

QString windowsScript(const QString &programFileName, const QString &programDirectory)
{
    // Unquoted on purpose: the five lines are what the command interpreter has always been given.
    return QStringLiteral("@echo off\n")
        + QStringLiteral("taskkill /f /im %1\n").arg(programFileName)
        + QStringLiteral("cd %1\n").arg(programDirectory)
        + QStringLiteral("start %1\n").arg(programFileName)
        + QStringLiteral("del /f /q %1\n").arg(bootstrapScriptName(ScriptPlatform::Windows));
}

QString unixScript(const QString &programFileName, const QString &programDirectory)
{
    // One pass of arg(): a "%2" inside the first value is not taken for the second.
    const QString head = QStringLiteral("#!/bin/sh\nprogram=%1\ndirectory=%2\n")
                             .arg(shellQuoted(programFileName), shellQuoted(programDirectory));
    return head
        + QStringLiteral("case $0 in\n"
                         "/*) script=$0 ;;\n"
                         "*) script=$PWD/$0 ;;\n"
                         "esac\n"
                         // The executable link, not comm, which is cut to 15 characters; an
                         // instance whose file the update replaced shows " (deleted)".
                         "killed=\n"
                         "for link in /proc/[0-9]*/exe; do\n"
                         "    pid=${link#/proc/}\n"
                         "    pid=${pid%/exe}\n"
                         "    [ \"$pid\" = \"$$\" ] && continue\n"
                         "    target=$(readlink \"$link\" 2>/dev/null) || continue\n"
                         "    target=${target% (deleted)}\n"
                         "    [ \"${target##*/}\" = \"$program\" ] || continue\n"
                         "    kill -s KILL \"$pid\" 2>/dev/null && killed=\"$killed $pid\"\n"
                         "done\n"
                         // The old instance has to let go of its port before the new one
                         // binds it.
                         "for pid in $killed; do\n"
                         "    tries=50\n"
                         "    while [ -e \"/proc/$pid/exe\" ] && [ \"$tries\" -gt 0 ]; do\n"
                         "        sleep 0.1\n"
                         "        tries=$((tries - 1))\n"
                         "    done\n"
                         "done\n"
                         // A session of its own and no terminal or pipe of the old instance:
                         // the new one must outlive whatever started the old one.
                         "if cd \"$directory\"; then\n"
                         "    if command -v setsid >/dev/null 2>&1; then\n"
                         "        setsid \"./$program\" </dev/null >/dev/null 2>&1 &\n"
                         "    else\n"
                         "        \"./$program\" </dev/null >/dev/null 2>&1 &\n"
                         "    fi\n"
                         "fi\n"
                         "rm -f \"$script\"\n");
}
} // namespace

QString bootstrapScriptName(ScriptPlatform platform)
{
    switch (platform) {
    case ScriptPlatform::Windows:
        return QStringLiteral("bootstrap.cmd");
    case ScriptPlatform::Unix:
        return QStringLiteral("bootstrap.sh");
    }
    return QString();
}

QString bootstrapScriptText(
    ScriptPlatform platform, const QString &programFileName, const QString &programDirectory)
{
    switch (platform) {
    case ScriptPlatform::Windows:
        return windowsScript(programFileName, programDirectory);
    case ScriptPlatform::Unix:
        return unixScript(programFileName, programDirectory);
    }
    return QString();
}

// Stands in for /bin/sh as the maintenance interpreter on Windows, which has neither sh nor, on
// the machines that test it, Python: "standinsh SCRIPT [ARGUMENT...]" runs the few shell
// commands the tests' control scripts use, one a line:
//   echo WORDS [>&2]    WORDS with $1..$9 replaced by the arguments and double quotes removed,
//                       on standard output (or standard error), ended by a line feed
//   sleep SECONDS
//   exit CODE           (the end of the script is exit 0)
// Anything else ends it with exit code 127, as sh does for an unknown command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

std::string expanded(const char *words, int argc, char **argv)
{
    std::string text;
    for (const char *c = words; *c; ++c) {
        if (*c == '"')
            continue;
        if (*c == '$' && c[1] >= '1' && c[1] <= '9') {
            const int index = c[1] - '0' + 1;
            if (index < argc)
                text += argv[index];
            ++c;
            continue;
        }
        text += *c;
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    FILE *script = std::fopen(argv[1], "r");
    if (!script)
        return 127;
    // Line feeds stay line feeds, as a Unix program writes them.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    char line[4096];
    while (std::fgets(line, sizeof line, script)) {
        std::string command(line);
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        if (command.empty() || command[0] == '#')
            continue;
        if (command.rfind("echo ", 0) == 0) {
            std::string words = command.substr(5);
            FILE *out = stdout;
            const std::string redirect = " >&2";
            if (words.size() >= redirect.size()
                && words.compare(words.size() - redirect.size(), redirect.size(), redirect) == 0) {
                words.resize(words.size() - redirect.size());
                out = stderr;
            }
            std::fprintf(out, "%s\n", expanded(words.c_str(), argc, argv).c_str());
            std::fflush(out);
        } else if (command.rfind("sleep ", 0) == 0) {
            Sleep(DWORD(std::atoi(command.c_str() + 6)) * 1000);
        } else if (command.rfind("exit ", 0) == 0) {
            return std::atoi(command.c_str() + 5);
        } else {
            std::fprintf(stderr, "standinsh: %s: not understood\n", command.c_str());
            return 127;
        }
    }
    return 0;
}

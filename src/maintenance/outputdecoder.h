#ifndef OUTPUTDECODER_H
#define OUTPUTDECODER_H

#include <QByteArray>
#include <QString>

#include <optional>

// Turns one output channel of the maintenance script into text, piece by piece as it arrives:
// UTF-8 when the bytes are valid UTF-8, else Windows-1251 (the log's own encoding), so that a
// Russian script's output reaches the log readable either way. Each piece ends at its first zero
// byte. A UTF-8 character split between two pieces is held back until its rest arrives.
class OutputDecoder
{
public:
    // The text of the next piece; none when the whole piece was held back.
    std::optional<QString> decode(QByteArray bytes);
    // What was held back when the output ended, as Windows-1251 (it never became UTF-8); none
    // when nothing was.
    std::optional<QString> finish();

private:
    QByteArray pending;
};

#endif // OUTPUTDECODER_H

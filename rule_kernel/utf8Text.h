#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

// Wardline's own files (proc_def.cfg, Wardline.dat) hold UTF-8 text. Names
// that are not valid UTF-8 are refused rather than read with replacement
// characters, which would make names that differ in such a byte equal.
namespace utf8Text {

// False when the bytes are not valid UTF-8; `text` then holds them with
// replacement characters, for messages only.
inline bool decode(QByteArrayView bytes, QString &text)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    text = decoder.decode(bytes);
    return !decoder.hasError();
}

// The content without a leading byte-order mark, as editors on Windows write it.
inline QByteArrayView withoutBom(QByteArrayView content)
{
    return content.startsWith("\xEF\xBB\xBF") ? content.sliced(3) : content;
}

} // namespace utf8Text

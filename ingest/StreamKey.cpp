#include "ingest/StreamKey.h"

#include <QRandomGenerator>

#include <cstring>

QString StreamKey::generate()
{
    const int alphabetSize = static_cast<int>(std::strlen(kAlphabet));
    // The largest multiple of the alphabet's size below 256: values at or above it are drawn
    // again, so every character is equally likely.
    const quint32 bound = 256 - 256 % alphabetSize;
    QString key;
    key.reserve(kLength);
    QRandomGenerator *const source = QRandomGenerator::system();
    while (key.size() < kLength) {
        const quint32 byte = source->generate() & 0xff;
        if (byte < bound)
            key.append(QLatin1Char(kAlphabet[byte % alphabetSize]));
    }
    return key;
}

bool StreamKey::matches(const QByteArray &streamName, const QByteArray &key)
{
    if (key.isEmpty())
        return false;
    const int query = streamName.indexOf('?');
    const QByteArray name = query >= 0 ? streamName.left(query) : streamName;
    // Every byte of the key is looked at, whatever the name holds.
    unsigned difference = name.size() == key.size() ? 0u : 1u;
    for (int i = 0; i < key.size(); ++i) {
        const char given = i < name.size() ? name.at(i) : '\0';
        difference |= static_cast<unsigned char>(given ^ key.at(i));
    }
    return difference == 0;
}

#include "ingest/StreamKey.h"

#include <QList>
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
    const int query = streamName.indexOf('?');
    return equalsKey(query >= 0 ? streamName.left(query) : streamName, key);
}

bool StreamKey::srtStreamIdCarries(const QByteArray &streamId, const QByteArray &key)
{
    static constexpr char kAccessControl[] = "#!::";
    if (!streamId.startsWith(kAccessControl))
        return equalsKey(streamId, key);
    QByteArray resource;
    int resources = 0;
    for (const QByteArray &field : streamId.mid(int(sizeof kAccessControl) - 1).split(',')) {
        if (field.startsWith("r=")) {
            resource = field.mid(2);
            ++resources;
        }
    }
    // Two resource names leave it open which one the caller meant.
    return equalsKey(resource, key) && resources == 1;
}

bool StreamKey::equalsKey(const QByteArray &given, const QByteArray &key)
{
    if (key.isEmpty())
        return false;
    // Every byte of the key is looked at, whatever the name holds.
    unsigned difference = given.size() == key.size() ? 0u : 1u;
    for (int i = 0; i < key.size(); ++i) {
        const char byte = i < given.size() ? given.at(i) : '\0';
        difference |= static_cast<unsigned char>(byte ^ key.at(i));
    }
    return difference == 0;
}

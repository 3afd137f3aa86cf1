#include "tiff_bytes.h"

namespace reflsample {

void putU16(QByteArray& b, int pos, quint16 v) {
    b[pos] = char(v & 0xff);
    b[pos + 1] = char((v >> 8) & 0xff);
}

void putU32(QByteArray& b, int pos, quint32 v) {
    for (int i = 0; i < 4; ++i) b[pos + i] = char((v >> (8 * i)) & 0xff);
}

void appendU16(QByteArray& b, quint16 v) {
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void appendU32(QByteArray& b, quint32 v) {
    for (int i = 0; i < 4; ++i) b.append(char((v >> (8 * i)) & 0xff));
}

quint16 getU16(const QByteArray& b, int pos) {
    return quint16(quint8(b[pos])) | quint16(quint16(quint8(b[pos + 1])) << 8);
}

quint32 getU32(const QByteArray& b, int pos) {
    quint32 v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | quint8(b[pos + i]);
    return v;
}

void IfdBuilder::addShort(quint16 tag, quint16 v) { addShorts(tag, {v}); }

void IfdBuilder::addShorts(quint16 tag, const QVector<quint16>& v) {
    Entry e;
    e.type = kShort;
    e.count = quint32(v.size());
    for (quint16 s : v) appendU16(e.data, s);
    entries_[tag] = e;
}

void IfdBuilder::addLong(quint16 tag, quint32 v) {
    Entry e;
    e.type = kLong;
    e.count = 1;
    appendU32(e.data, v);
    entries_[tag] = e;
}

void IfdBuilder::addAscii(quint16 tag, const QByteArray& text) {
    Entry e;
    e.type = kAscii;
    e.data = text;
    e.data.append('\0');
    e.count = quint32(e.data.size());
    entries_[tag] = e;
}

void IfdBuilder::addRational(quint16 tag, quint32 num, quint32 den) { addRationals(tag, {num, den}); }

void IfdBuilder::addRationals(quint16 tag, const QVector<quint32>& numDenPairs) {
    Entry e;
    e.type = kRational;
    e.count = quint32(numDenPairs.size() / 2);
    for (quint32 v : numDenPairs) appendU32(e.data, v);
    entries_[tag] = e;
}

void IfdBuilder::addBytes(quint16 tag, quint16 type, const QByteArray& bytes) {
    Entry e;
    e.type = type;
    e.count = quint32(bytes.size());
    e.data = bytes;
    entries_[tag] = e;
}

void IfdBuilder::addExternal(quint16 tag, quint16 type, quint32 count, quint32 offset) {
    Entry e;
    e.type = type;
    e.count = count;
    e.external = true;
    e.offset = offset;
    entries_[tag] = e;
}

void IfdBuilder::setLongValue(quint16 tag, quint32 v) {
    auto it = entries_.find(tag);
    if (it == entries_.end()) return;
    if (it->second.external) {
        it->second.offset = v;
    } else if (it->second.data.size() == 4) {
        putU32(it->second.data, 0, v);
    }
}

int IfdBuilder::byteSize() const {
    int size = 2 + 12 * int(entries_.size()) + 4;
    for (const auto& kv : entries_) {
        const Entry& e = kv.second;
        if (!e.external && e.data.size() > 4) size += (e.data.size() + 1) & ~1;
    }
    return size;
}

QByteArray IfdBuilder::serialise(quint32 offset, quint32 nextIfd) const {
    QByteArray dir;
    QByteArray data;
    const quint32 dataStart = offset + 2 + 12 * quint32(entries_.size()) + 4;
    appendU16(dir, quint16(entries_.size()));
    for (const auto& kv : entries_) {
        const Entry& e = kv.second;
        appendU16(dir, kv.first);
        appendU16(dir, e.type);
        appendU32(dir, e.count);
        if (e.external) {
            appendU32(dir, e.offset);
        } else if (e.data.size() <= 4) {
            QByteArray v = e.data;
            v.append(QByteArray(4 - v.size(), '\0'));
            dir.append(v);
        } else {
            appendU32(dir, dataStart + quint32(data.size()));
            data.append(e.data);
            if (data.size() & 1) data.append('\0');
        }
    }
    appendU32(dir, nextIfd);
    return dir + data;
}

}  // namespace reflsample
